// Locale records (code page, lead bytes, direction) and narrow strings that
// convert through their locale's code page.
#include <gtest/gtest.h>

#include <string>

#include "Charset.h"
#include "QuarlString.h"
#include "StringLocale.h"

using namespace TQuarlFuncs;

TEST(StringLocale, LeadBytesFollowTheCodePage) {
  TStringLocale prc(0x0804);
  EXPECT_EQ(prc.CodePage, 936u);
  EXPECT_TRUE(prc.HasLeadBytes);
  EXPECT_FALSE(prc.IsLeadByte(0x80));
  EXPECT_TRUE(prc.IsLeadByte(0x81) && prc.IsLeadByte(0xFE));
  EXPECT_FALSE(prc.IsLeadByte(0xFF));

  TStringLocale japan(0x0411);  // two ranges
  EXPECT_TRUE(japan.IsLeadByte(0x9F) && japan.IsLeadByte(0xE0));
  EXPECT_FALSE(japan.IsLeadByte(0xA0));

  TStringLocale us(1033);
  EXPECT_EQ(us.CodePage, 1252u);
  EXPECT_FALSE(us.HasLeadBytes || us.IsLeadByte(0x81));
}

TEST(StringLocale, RightToLeftOnlyForHebrewAndArabicCodePages) {
  EXPECT_TRUE(TStringLocale(0x040D).RightToLeft);   // Hebrew, 1255
  EXPECT_TRUE(TStringLocale(0x0401).RightToLeft);   // Arabic, 1256
  EXPECT_FALSE(TStringLocale(0x0419).RightToLeft);  // Russian, 1251
  EXPECT_FALSE(TStringLocale(0x0804).RightToLeft);  // has lead bytes: not checked
}

TEST(StringLocale, ByteTypeWalksFromTheStart) {
  TStringLocale prc(0x0804);
  const char* t = "a\xC9\xE8\xD6\xC3" "b";  // a 设 置 b
  const int expected[] = {0, 1, 2, 1, 2, 0};  // 0xE8 is a trail byte here, not a lead byte
  for (int i = 0; i < 6; ++i) EXPECT_EQ(prc.ByteType(t, i), expected[i]) << i;
  EXPECT_EQ(prc.ByteType(t, 9), 0);  // past the end
}

TEST(QuarlString, AssignsAndConverts) {
  TQuarlString s;
  EXPECT_STREQ(s.c_str(), "");
  s.Assign(nullptr);
  EXPECT_TRUE(s.IsEmpty());
  // Assigning a string its own tail must not read freed memory.
  s = "19200 baud";
  s.Assign(s.c_str() + 6);
  EXPECT_EQ(s.ToString(), "baud");

  TStringLocale prc(0x0804), taiwan(0x0404);
  TQuarlString gbk;
  gbk.SetLocale(&prc);
  gbk.Assign(WideToCodePage(L"串口设置", prc.CodePage).c_str());
  EXPECT_EQ(gbk.Length(), 8);
  EXPECT_EQ(gbk.ToUtf8(), "串口设置");
  EXPECT_EQ(gbk.ToWString(), L"串口设置");

  TQuarlString copy(gbk);  // takes the other string's locale
  EXPECT_EQ(copy.ToUtf8(), "串口设置");
  copy.SetLocale(&taiwan);
  EXPECT_NE(copy.ToUtf8(), "串口设置");

  TQuarlString bad("\x81");  // a lone lead byte decodes to U+FFFD
  bad.SetLocale(&prc);
  EXPECT_EQ(bad.ToUtf8(), "\xEF\xBF\xBD");
}
