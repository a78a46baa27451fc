// Locale records (LCID, code page, lead bytes, direction) and narrow strings
// that convert through their locale's code page.
#include <gtest/gtest.h>

#include <string>

#include "Charset.h"
#include "QuarlString.h"
#include "StringLocale.h"

using namespace TQuarlFuncs;

TEST(StringLocale, LocaleNamesMapToLcids) {
  EXPECT_EQ(LcidFromLocaleName("zh_CN.UTF-8"), 0x0804u);
  EXPECT_EQ(LcidFromLocaleName("zh_TW.Big5"), 0x0404u);
  EXPECT_EQ(LcidFromLocaleName("de_DE@euro"), 0x0407u);
  EXPECT_EQ(LcidFromLocaleName("de_BE.UTF-8"), 0x0407u);  // unknown country: the language
  EXPECT_EQ(LcidFromLocaleName("fr"), 0x040Cu);
  EXPECT_EQ(LcidFromLocaleName("C.UTF-8"), 0u);
  EXPECT_EQ(LcidFromLocaleName(""), 0u);
  EXPECT_EQ(LcidFromLocaleName(nullptr), 0u);
}

TEST(StringLocale, CodePagesAndLeadBytes) {
  TStringLocale prc(0x0804);
  EXPECT_EQ(prc.PrimaryLang, 4);
  EXPECT_EQ(prc.SubLang, 2);
  EXPECT_EQ(prc.CodePage, 936u);
  EXPECT_TRUE(prc.HasLeadBytes);
  EXPECT_FALSE(prc.IsLeadByte(0x80));
  EXPECT_TRUE(prc.IsLeadByte(0x81));
  EXPECT_TRUE(prc.IsLeadByte(0xFE));
  EXPECT_FALSE(prc.IsLeadByte(0xFF));

  EXPECT_EQ(TStringLocale(0x0C04).CodePage, 950u);
  TStringLocale japan(0x0411);
  EXPECT_EQ(japan.CodePage, 932u);
  EXPECT_TRUE(japan.IsLeadByte(0x9F));
  EXPECT_FALSE(japan.IsLeadByte(0xA0));
  EXPECT_TRUE(japan.IsLeadByte(0xE0));

  TStringLocale us(1033);
  EXPECT_TRUE(us.IsLcidWestern());
  EXPECT_EQ(us.CodePage, 1252u);
  EXPECT_FALSE(us.HasLeadBytes);
  EXPECT_FALSE(us.IsLeadByte(0x81));
}

TEST(StringLocale, RightToLeftOnlyForHebrewAndArabicCodePages) {
  EXPECT_TRUE(TStringLocale(0x040D).RightToLeft);   // Hebrew, 1255
  EXPECT_TRUE(TStringLocale(0x0401).RightToLeft);   // Arabic, 1256
  EXPECT_FALSE(TStringLocale(0x0419).RightToLeft);  // Russian, 1251
  EXPECT_FALSE(TStringLocale(0x0804).RightToLeft);  // has lead bytes: not checked
}

TEST(StringLocale, ByteTypeWalksFromTheStart) {
  TStringLocale prc(0x0804);
  const std::string t = "a\xC9\xE8\xD6\xC3" "b";  // a 设 置 b
  EXPECT_EQ(prc.ByteType(t.c_str(), 0), 0);
  EXPECT_EQ(prc.ByteType(t.c_str(), 1), 1);
  EXPECT_EQ(prc.ByteType(t.c_str(), 2), 2);  // 0xE8 would be a lead byte on its own
  EXPECT_EQ(prc.ByteType(t.c_str(), 3), 1);
  EXPECT_EQ(prc.ByteType(t.c_str(), 4), 2);
  EXPECT_EQ(prc.ByteType(t.c_str(), 5), 0);
  EXPECT_EQ(prc.ByteType(t.c_str(), 9), 0);  // past the end
}

TEST(StringLocale, CopiesKeepTheFlagsInitClearsThem) {
  TStringLocale a(0x0804);
  a.UserFlag1 = a.UserFlag2 = true;
  TStringLocale b(a);
  EXPECT_TRUE(b.UserFlag1 && b.UserFlag2);
  EXPECT_EQ(b.CodePage, 936u);
  b.InitLCID(0x0404);
  EXPECT_FALSE(b.UserFlag1 || b.UserFlag2);
  EXPECT_EQ(b.CodePage, 950u);
}

TEST(QuarlString, BufferRules) {
  TQuarlString s;
  EXPECT_STREQ(s.c_str(), "");
  EXPECT_EQ(s.Capacity(), 1);
  s.Assign("COM1");
  EXPECT_EQ(s.ToString(), "COM1");
  EXPECT_EQ(s.Capacity(), 5);
  s.Assign(nullptr);
  EXPECT_TRUE(s.IsEmpty());
  EXPECT_EQ(s.Capacity(), 1);
  // Assigning a string its own tail must not read freed memory.
  s = "19200 baud";
  s.Assign(s.c_str() + 6);
  EXPECT_EQ(s.ToString(), "baud");

  TQuarlString moved(std::move(s));
  EXPECT_EQ(moved.ToString(), "baud");
  EXPECT_STREQ(s.c_str(), "");  // NOLINT: a moved-from string stays usable
}

TEST(QuarlString, ConvertsThroughItsLocalesCodePage) {
  TStringLocale prc(0x0804), taiwan(0x0404);
  TQuarlString wide;
  wide.SetLocale(&prc);
  wide.Assign(WideToCodePage(L"串口设置", prc.CodePage).c_str());
  EXPECT_EQ(wide.ToUtf8(), "串口设置");
  EXPECT_EQ(wide.ToWString(), L"串口设置");
  EXPECT_EQ(wide.Length(), 8);

  // A copy takes the other string's locale.
  TQuarlString copy(wide);
  EXPECT_EQ(copy.Locale().CodePage, 936u);
  EXPECT_EQ(copy.ToUtf8(), "串口设置");

  // The same bytes read as Big5 are other characters; invalid ones become U+FFFD.
  copy.SetLocale(&taiwan);
  EXPECT_EQ(copy.Locale().CodePage, 950u);
  EXPECT_NE(copy.ToUtf8(), "串口设置");
  copy.SetLocale(&_SysLocale);
  EXPECT_FALSE(copy.HasPrivateLocale());

  // Wide text the shared locale's code page cannot hold becomes '?'.
  TQuarlString ascii(L"COM1 \u0416");
  EXPECT_EQ(ascii.ToString().substr(0, 5), "COM1 ");

  TQuarlString bad("\x81");
  bad.SetLocale(&prc);
  EXPECT_EQ(bad.ToUtf8(), "\xEF\xBF\xBD");
}
