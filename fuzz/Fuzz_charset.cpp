// The code-page conversions and FromGBK. Every path gives well-formed
// output (UTF-8 of scalar values, wide text of scalar values); the UTF-8 and
// the wide path agree; well-formed UTF-8 comes back unchanged and a
// conversion's output converts to itself; single-byte code pages keep one
// character per byte; FromGBK keeps the length, touches only GBK pairs and
// turns each into a Big5 character.
#include <algorithm>
#include <string>
#include <vector>

#include "AppLang.h"
#include "Charset.h"
#include "FuzzCheck.h"

using namespace TQuarlFuncs;

namespace {

bool Scalar(uint32_t c) { return c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF); }

// Well-formed UTF-8, checked without the decoder under test: decode each
// sequence by its lead byte, then demand the shortest form and a scalar value.
bool WellFormed(const std::string& s, size_t* count = nullptr) {
  size_t n = 0;
  for (size_t i = 0; i < s.size(); ++n) {
    const auto b = static_cast<unsigned char>(s[i]);
    const size_t len = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    if (len == 0 || i + len > s.size()) return false;
    uint32_t c = len == 1 ? b : b & (0xFF >> (len + 1));
    for (size_t k = 1; k < len; ++k) {
      const auto t = static_cast<unsigned char>(s[i + k]);
      if ((t & 0xC0) != 0x80) return false;
      c = c << 6 | (t & 0x3F);
    }
    const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < least[len] || !Scalar(c)) return false;
    i += len;
  }
  if (count) *count = n;
  return true;
}

bool WellFormed(const std::wstring& w) {
  for (wchar_t c : w)
    if (!Scalar(static_cast<uint32_t>(c))) return false;
  return true;
}

// Characters glibc drops silently when a code page lacks them: the tags
// U+E0000 to U+E007F.
size_t Kept(const std::wstring& w) {
  return static_cast<size_t>(std::count_if(w.begin(), w.end(), [](wchar_t c) { return c < 0xE0000 || c > 0xE007F; }));
}

constexpr uint32_t kCodePages[] = {65001, 0, 936, 950, 1252, 1251, 1253, 1255, 1256, 874, 932, 949, 1258};

// glibc composes characters in CP1255 and CP1258, so those are left out.
bool SingleByte(uint32_t cp) { return (cp >= 1250 && cp <= 1254) || cp == 1256 || cp == 874; }

void CheckConversions(const std::string& text, uint32_t cp) {
  const std::string utf8 = CodePageToUtf8(text, cp);
  const std::wstring wide = CodePageToWide(text, cp);
  FUZZ_CHECK(WellFormed(utf8));
  FUZZ_CHECK(WellFormed(wide));
  // Both paths decode the same characters.
  FUZZ_CHECK(WideToCodePage(wide, 65001) == utf8);
  FUZZ_CHECK(CodePageToWide(utf8, 65001) == wide);
  // Output converts to itself; well-formed UTF-8 is kept as it is.
  FUZZ_CHECK(CodePageToUtf8(utf8, 65001) == utf8);
  FUZZ_CHECK(Utf8ToCodePage(utf8, 65001) == utf8);
  if ((cp == 65001 || cp == 0) && WellFormed(text)) FUZZ_CHECK(utf8 == text);
  if (SingleByte(cp)) {
    FUZZ_CHECK(wide.size() == text.size());
    // Characters the code page has come back as the bytes they were.
    if (wide.find(L'\xFFFD') == std::wstring::npos) {
      FUZZ_CHECK(WideToCodePage(wide, cp) == text);
      FUZZ_CHECK(Utf8ToCodePage(utf8, cp) == text);
    }
  }

  // Text taken as UTF-8 into the code page: one '?' per character the code
  // page lacks, so a single-byte code page gives one byte per character.
  const std::string back = Utf8ToCodePage(text, cp);
  const std::wstring chars = CodePageToWide(text, 65001);
  if (SingleByte(cp)) FUZZ_CHECK(back.size() == Kept(chars));
  if (cp == 65001 || cp == 0) FUZZ_CHECK(back == CodePageToUtf8(text, 65001));
  FUZZ_CHECK(WideToCodePage(chars, cp) == back);

  // The strict conversion either fails or agrees with the lenient one.
  std::string exact;
  const char* cs = CodePageCharset(cp) ? CodePageCharset(cp) : "UTF-8";
  if (RecodeExact(text, cs, "UTF-8", exact)) FUZZ_CHECK(exact == utf8);
}

void CheckFromGbk(const std::string& raw) {
  // A TQuarlString ends at its first zero byte.
  const std::string text = raw.substr(0, raw.find('\0'));
  TAppLang traditional(0x0404);
  const std::string out = traditional.FromGBK(TQuarlString(text)).ToString();
  FUZZ_CHECK(out.size() == text.size());
  for (size_t i = 0; i < text.size();) {
    const auto b1 = static_cast<unsigned char>(text[i]);
    const auto b2 = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
    if (b1 >= 0x81 && b1 <= 0xFE && b2 >= 0x40 && b2 <= 0xFE) {
      std::string big5;
      FUZZ_CHECK(RecodeExact(out.substr(i, 2), "BIG5", "UTF-8", big5));
      i += 2;
    } else {
      FUZZ_CHECK(out[i] == text[i]);
      i += 1;
    }
  }
  TAppLang simplified(0x0804);
  FUZZ_CHECK(simplified.FromGBK(TQuarlString(text)).ToString() == text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const uint8_t pick = in.ConsumeIntegral<uint8_t>();
  const std::string text = in.ConsumeRemainingBytesAsString();
  if (pick == 0xFF) {
    CheckFromGbk(text);
    return 0;
  }
  CheckConversions(text, kCodePages[pick % std::size(kCodePages)]);
  if (pick & 0x80) {
    // The same bytes read as wide text.
    std::wstring wide(text.size() / sizeof(wchar_t), L'\0');
    text.copy(reinterpret_cast<char*>(wide.data()), wide.size() * sizeof(wchar_t));
    const std::string utf8 = WideToCodePage(wide, 65001);
    FUZZ_CHECK(WellFormed(utf8));
    size_t count = 0;
    WellFormed(utf8, &count);
    FUZZ_CHECK(count == wide.size());  // one character, or U+FFFD, per unit
    FUZZ_CHECK(WideToCodePage(wide, 1252).size() == Kept(wide));
  }
  return 0;
}
