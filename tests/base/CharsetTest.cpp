// Code-page conversions: ill-formed input becomes U+FFFD on every path and is
// never written back out; lengths and round trips where the sets allow them.
#include <gtest/gtest.h>

#include <string>

#include "Charset.h"

using namespace TQuarlFuncs;

namespace {

const std::string kFffd = "\xEF\xBF\xBD";

std::string Times(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

}  // namespace

// Each maximal ill-formed part of UTF-8 becomes one U+FFFD, whether the text
// is decoded to UTF-8, to wide text or through the unknown code page 0.
TEST(Charset, IllFormedUtf8BecomesReplacementCharacters) {
  struct Case { const char* name; std::string in; int replacements; std::string rest; };
  const Case cases[] = {
      {"5-byte form", "\xF8\x88\x80\x80\x80", 5, ""},
      {"6-byte form", "\xFC\x84\x80\x80\x80\x80", 6, ""},
      {"above U+10FFFF", "\xF4\x90\x80\x80", 4, ""},
      {"F5 lead", "\xF5\x80\x80\x80", 4, ""},
      {"overlong slash", "\xC0\xAF", 2, ""},
      {"overlong 3-byte", "\xE0\x80\xAF", 3, ""},
      {"overlong 4-byte", "\xF0\x80\x80\xAF", 4, ""},
      {"high surrogate", "\xED\xA0\x80", 3, ""},
      {"low surrogate", "\xED\xBF\xBF", 3, ""},
      {"lone continuation", "\x80", 1, ""},
      {"cut short, then ASCII", "\xE4\xB8" "A", 1, "A"},
      {"cut short at the end", "A\xF0\x9F\x98", 1, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string prefix = c.in[0] == 'A' ? "A" : "";
    const std::string want = prefix + Times(kFffd, c.replacements) + c.rest;
    for (uint32_t cp : {65001u, 0u}) {
      EXPECT_EQ(CodePageToUtf8(c.in, cp), want) << cp;
      EXPECT_EQ(Utf8ToCodePage(c.in, cp), want) << cp;
      const std::wstring wide = CodePageToWide(c.in, cp);
      EXPECT_EQ(wide, std::wstring(prefix.begin(), prefix.end()) + std::wstring(c.replacements, L'\xFFFD') +
                          std::wstring(c.rest.begin(), c.rest.end()));
    }
    // A code page that cannot hold U+FFFD takes one '?' per replacement.
    EXPECT_EQ(Utf8ToCodePage(c.in, 936), prefix + std::string(c.replacements, '?') + c.rest);
    std::string out = "x";
    EXPECT_FALSE(RecodeExact(c.in, "UTF-8", "UTF-16LE", out));
    EXPECT_EQ(out, "");
  }
}

// Wide text is UTF-32: units above U+10FFFF and surrogates are no characters.
TEST(Charset, InvalidWideUnitsBecomeReplacementCharacters) {
  const std::wstring wide = {L'A', static_cast<wchar_t>(0x110000), static_cast<wchar_t>(0xD800),
                             static_cast<wchar_t>(0x7FFFFFFF), static_cast<wchar_t>(0x80000000u), L'\x4E32'};
  EXPECT_EQ(WideToCodePage(wide, 65001), "A" + Times(kFffd, 4) + "\xE4\xB8\xB2");
  EXPECT_EQ(WideToCodePage(wide, 936), "A????\xB4\xAE");
  EXPECT_EQ(WideToCodePage(wide, 1252), "A?????");
}

// Well-formed text survives the trip through every path unchanged, noncharacters
// and the largest code point included; undecodable bytes of a code page become
// U+FFFD one byte each, so a single-byte code page keeps the text's length.
TEST(Charset, RoundTripsAndLengths) {
  const std::string utf8 = "COM1 \xE4\xB8\xB2\xE5\x8F\xA3 \xEF\xBF\xBE \xF4\x8F\xBF\xBF \xF0\x9F\x98\x80 \xC2\xA9";
  EXPECT_EQ(CodePageToUtf8(utf8, 65001), utf8);
  EXPECT_EQ(WideToCodePage(CodePageToWide(utf8, 65001), 65001), utf8);

  const std::string gbk = "\xB4\xAE\xBF\xDA COM1";  // 串口 COM1
  EXPECT_EQ(Utf8ToCodePage(CodePageToUtf8(gbk, 936), 936), gbk);
  EXPECT_EQ(WideToCodePage(CodePageToWide(gbk, 936), 936), gbk);
  EXPECT_EQ(CodePageToUtf8("a\x81", 936), "a" + kFffd);  // a lead byte at the end

  const std::string cp1252 = "\x80\x81\x8D\xE9x";  // 0x81 and 0x8D are undefined
  EXPECT_EQ(CodePageToWide(cp1252, 1252), L"\x20AC\xFFFD\xFFFD\xE9x");
  EXPECT_EQ(Utf8ToCodePage(CodePageToUtf8(cp1252, 1252), 1252), "\x80??\xE9x");
}
