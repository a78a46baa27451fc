// GBK-to-Big5 conversion: FromGBK on texts, and the generated table checked
// entry by entry against iconv.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "AppLang.h"
#include "Charset.h"

using namespace TQuarlFuncs;

namespace {

std::string Gbk(const char* utf8) {
  std::string out;
  EXPECT_TRUE(RecodeExact(utf8, "UTF-8", "GBK", out)) << utf8;
  return out;
}

std::string Big5(const char* utf8) {
  std::string out;
  EXPECT_TRUE(RecodeExact(utf8, "UTF-8", "BIG5", out)) << utf8;
  return out;
}

TAppLang Traditional() {
  TAppLang lang(0x0404);  // Chinese (Taiwan)
  EXPECT_EQ(lang.fGetLangType(), ltTraditional);
  return lang;
}

std::string Convert(const TAppLang& lang, const std::string& bytes) {
  return lang.FromGBK(TQuarlString(bytes)).ToString();
}

}  // namespace

TEST(FromGBK, LeavesSingleBytesAlone) {
  const TAppLang lang = Traditional();
  std::string ascii = "COM1: 19200,8,N,1\x80\xFF";
  EXPECT_EQ(Convert(lang, ascii), ascii);
  // A lead byte whose next byte is no trail byte is copied as it is.
  EXPECT_EQ(Convert(lang, "\x81\x20x"), "\x81\x20x");
  // So is a lead byte at the very end.
  EXPECT_EQ(Convert(lang, "ab\x81"), "ab\x81");
  EXPECT_EQ(Convert(lang, ""), "");
}

TEST(FromGBK, CharactersBig5HasBecomeIconvsBig5) {
  const TAppLang lang = Traditional();
  for (const char* text : {"不能得到埠參數", "序列埠設置", "串口 COM1 已打開", "數據位元：8"})
    EXPECT_EQ(Convert(lang, Gbk(text)), Big5(text)) << text;
}

TEST(FromGBK, SimplifiedCharactersBecomeTheirTraditionalForm) {
  const TAppLang lang = Traditional();
  EXPECT_EQ(Convert(lang, Gbk("设置")), Big5("設置"));
  EXPECT_EQ(Convert(lang, Gbk("关闭")), Big5("關閉"));
  // 体 is in Big5 too, but the traditional form wins.
  EXPECT_EQ(Convert(lang, Gbk("记忆体")), Big5("記憶體"));
  EXPECT_EQ(Convert(lang, Gbk("不能打开端口")), Big5("不能打開端口"));
  // Mixed with ASCII the output keeps exactly the input's length.
  const std::string in = Gbk("波特率=19200，数据位 8");
  EXPECT_EQ(Convert(lang, in), Big5("波特率=19200，數據位 8"));
  EXPECT_EQ(Convert(lang, in).size(), in.size());
}

TEST(FromGBK, UnchangedWithoutTraditionalChineseOrWithConversionOff) {
  const std::string text = Gbk("设置串口");
  TAppLang lang = Traditional();
  lang.fSetCvtBig5(false);
  EXPECT_EQ(Convert(lang, text), text);
  for (uint16_t id : {0x0804, 0x1004, 0x0409, 0x0407})
    EXPECT_EQ(Convert(TAppLang(id), text), text) << std::hex << id;
}

// Every GBK character that Big5 has as it is maps to iconv's Big5 code, except
// the listed simplified characters whose traditional form replaces them; every
// entry is a valid Big5 character.
TEST(Gb2Big5Table, AgreesWithIconvForEveryCode) {
  const unsigned short* formsEnd = GB2BIG5_TRADITIONAL_FORMS + GB2BIG5_TRADITIONAL_FORM_COUNT;
  ASSERT_TRUE(std::is_sorted(GB2BIG5_TRADITIONAL_FORMS, formsEnd));
  int direct = 0, replaced = 0, mismatches = 0;
  for (int k = 0; k < GB2BIG5_ENTRIES; ++k) {
    const unsigned char b1 = static_cast<unsigned char>(0x81 + k / 191);
    const unsigned char b2 = static_cast<unsigned char>(0x40 + k % 191);
    ASSERT_EQ(TAppLang::_fGBK_No(b1, b2), k);
    const char gbk[2] = {static_cast<char>(b1), static_cast<char>(b2)};
    const char entry[2] = {static_cast<char>(GB2BIG5_TAB[k][0] ^ 0x80), static_cast<char>(GB2BIG5_TAB[k][1])};

    std::string entryUtf8;
    if (!RecodeExact(std::string_view(entry, 2), "BIG5", "UTF-8", entryUtf8)) {
      ADD_FAILURE() << "entry of " << std::hex << k << " is no Big5 character";
      if (++mismatches > 10) break;
      continue;
    }
    std::string utf8, big5;
    if (!RecodeExact(std::string_view(gbk, 2), "GBK", "UTF-8", utf8) ||
        !RecodeExact(utf8, "UTF-8", "BIG5", big5))
      continue;
    const bool listed = std::binary_search(GB2BIG5_TRADITIONAL_FORMS, formsEnd, b1 << 8 | b2);
    if (listed) {
      ++replaced;
      EXPECT_NE(entryUtf8, utf8) << "listed code " << std::hex << (b1 << 8 | b2) << " kept " << utf8;
    } else if (std::string_view(entry, 2) == big5) {
      ++direct;
    } else if (++mismatches <= 10) {
      ADD_FAILURE() << std::hex << "GBK " << (b1 << 8 | b2) << " (" << utf8 << ") gives " << entryUtf8
                    << ", iconv's Big5 is " << (static_cast<unsigned char>(big5[0]) << 8 | static_cast<unsigned char>(big5[1]));
    }
  }
  EXPECT_EQ(mismatches, 0);
  EXPECT_EQ(replaced, GB2BIG5_TRADITIONAL_FORM_COUNT);
  EXPECT_EQ(TAppLang::_fGBK_No(0x80, 0xFE), 0);  // out of range: entry 0
  EXPECT_EQ(TAppLang::_fGBK_No(0xFF, 0x40), 0);
  // Big5 holds some 13000 hanzi plus symbols that GBK also has.
  EXPECT_GT(direct, 13000);
}

TEST(Gb2Big5Table, CodesWithoutACharacterTakeTheFullWidthQuestionMark) {
  const std::string mark = Big5("？");
  for (unsigned char b1 : {0x81, 0xA0, 0xFE}) {
    const unsigned char* e = GB2BIG5_TAB[TAppLang::_fGBK_No(b1, 0x7F)];
    EXPECT_EQ(std::string({static_cast<char>(e[0] ^ 0x80), static_cast<char>(e[1])}), mark);
  }
}
