#include "Charset.h"

#include <bit>
#include <cerrno>
#include <iconv.h>
#include <strings.h>

namespace TQuarlFuncs {
namespace {

constexpr char32_t kReplacementChar = 0xFFFD;
// Code points travel between decoding and encoding as UTF-32 in the machine's
// byte order (glibc has no WCHAR_T-to-WCHAR_T conversion).
constexpr const char* kCodePoints = std::endian::native == std::endian::little ? "UTF-32LE" : "UTF-32BE";

// iconv_t owner: opened for one conversion, closed on every path out.
class IconvHandle {
public:
  IconvHandle(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~IconvHandle() {
    if (valid()) iconv_close(cd_);
  }
  IconvHandle(const IconvHandle&) = delete;
  IconvHandle& operator=(const IconvHandle&) = delete;

  bool valid() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t get() const { return cd_; }

private:
  iconv_t cd_;
};

bool IsScalarValue(char32_t c) { return c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF); }

bool IsUtf8Name(const char* charset) {
  return strcasecmp(charset, "UTF-8") == 0 || strcasecmp(charset, "UTF8") == 0;
}

// Strict UTF-8 (the well-formed sequences of Unicode, at most U+10FFFF, no
// surrogates, no overlong or 5- and 6-byte forms). glibc's decoder takes some
// of those, so UTF-8 is decoded here. Each maximal ill-formed part becomes
// one U+FFFD; `strict` fails on it instead.
bool DecodeUtf8(std::string_view in, std::u32string& out, bool strict) {
  const auto* s = reinterpret_cast<const unsigned char*>(in.data());
  const size_t n = in.size();
  size_t i = 0;
  while (i < n) {
    const unsigned char b0 = s[i];
    if (b0 < 0x80) {
      out += static_cast<char32_t>(b0);
      ++i;
      continue;
    }
    size_t len = 0;
    unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
    if (b0 >= 0xC2 && b0 <= 0xDF) len = 2;
    else if (b0 == 0xE0) len = 3, lo = 0xA0;
    else if (b0 == 0xED) len = 3, hi = 0x9F;
    else if (b0 >= 0xE1 && b0 <= 0xEF) len = 3;
    else if (b0 == 0xF0) len = 4, lo = 0x90;
    else if (b0 == 0xF4) len = 4, hi = 0x8F;
    else if (b0 >= 0xF1 && b0 <= 0xF3) len = 4;
    size_t k = 1;
    char32_t c = b0 & (0x7F >> len);
    for (; k < len && i + k < n; ++k) {
      const unsigned char b = s[i + k];
      if (b < lo || b > hi) break;
      c = c << 6 | (b & 0x3F);
      lo = 0x80, hi = 0xBF;
    }
    if (len == 0 || k < len) {
      if (strict) return false;
      out += kReplacementChar;
      i += k;
    } else {
      out += c;
      i += len;
    }
  }
  return true;
}

// Any other set: glibc decodes into code points, which are checked too. An
// input unit that does not decode becomes U+FFFD.
bool DecodeIconv(std::string_view in, const char* from, std::u32string& out, bool strict,
                 size_t inputUnit) {
  IconvHandle cd(kCodePoints, from);
  if (!cd.valid()) return false;
  char* src = const_cast<char*>(in.data());
  size_t srcLeft = in.size();
  char32_t chunk[256];
  while (srcLeft > 0) {
    char* dst = reinterpret_cast<char*>(chunk);
    size_t dstLeft = sizeof chunk;
    const size_t r = iconv(cd.get(), &src, &srcLeft, &dst, &dstLeft);
    const int err = errno;
    const size_t got = (sizeof chunk - dstLeft) / sizeof(char32_t);
    for (size_t k = 0; k < got; ++k) {
      if (IsScalarValue(chunk[k])) {
        out += chunk[k];
      } else {
        if (strict) return false;
        out += kReplacementChar;
      }
    }
    if (r != static_cast<size_t>(-1) || err == E2BIG) continue;
    // EILSEQ (a bad character) or EINVAL (the input ends inside one).
    if (strict) return false;
    out += kReplacementChar;
    const size_t skip = inputUnit < srcLeft ? inputUnit : srcLeft;
    src += skip;
    srcLeft -= skip;
  }
  return true;
}

// Encodes valid code points; one the target cannot hold becomes
// `replacement`, or fails the whole conversion when there is none.
bool Encode(const std::u32string& text, const char* to, std::string& out,
            const std::string_view* replacement) {
  IconvHandle cd(to, kCodePoints);
  if (!cd.valid()) return false;
  char* src = reinterpret_cast<char*>(const_cast<char32_t*>(text.data()));
  size_t srcLeft = text.size() * sizeof(char32_t);
  char chunk[1024];
  auto drain = [&](char* end) { out.append(chunk, static_cast<size_t>(end - chunk)); };
  while (srcLeft > 0) {
    char* dst = chunk;
    size_t dstLeft = sizeof chunk;
    const size_t r = iconv(cd.get(), &src, &srcLeft, &dst, &dstLeft);
    const int err = errno;
    drain(dst);
    if (r != static_cast<size_t>(-1) || err == E2BIG) continue;
    if (replacement == nullptr) return false;
    out.append(*replacement);
    src += sizeof(char32_t);
    srcLeft -= sizeof(char32_t);
  }
  // Flush any shift state once the input is used up.
  char* dst = chunk;
  size_t dstLeft = sizeof chunk;
  iconv(cd.get(), nullptr, nullptr, &dst, &dstLeft);
  drain(dst);
  return true;
}

// Decodes into code points, then encodes them. Without a replacement the
// conversion is strict.
bool Run(std::string_view in, const char* from, const char* to, std::string& out,
         const std::string_view* replacement, size_t inputUnit) {
  out.clear();
  // Both sets must be known even for empty input.
  if (!IconvHandle(to, kCodePoints).valid()) return false;
  const bool strict = replacement == nullptr;
  std::u32string text;
  const bool decoded = IsUtf8Name(from) ? DecodeUtf8(in, text, strict)
                                        : DecodeIconv(in, from, text, strict, inputUnit);
  if (!decoded || !Encode(text, to, out, replacement)) {
    out.clear();
    return false;
  }
  return true;
}

const char* CharsetOrUtf8(uint32_t codePage) {
  const char* cs = CodePageCharset(codePage);
  return cs != nullptr ? cs : "UTF-8";
}

}  // namespace
const char* CodePageCharset(uint32_t codePage) {
  switch (codePage) {
    case 874: return "CP874";
    case 932: return "CP932";
    case 936: return "GBK";
    case 949: return "CP949";
    case 950: return "BIG5";
    case 1250: return "CP1250";
    case 1251: return "CP1251";
    case 1252: return "CP1252";
    case 1253: return "CP1253";
    case 1254: return "CP1254";
    case 1255: return "CP1255";
    case 1256: return "CP1256";
    case 1257: return "CP1257";
    case 1258: return "CP1258";
    case 65001: return "UTF-8";
    default: return nullptr;
  }
}

bool Recode(std::string_view in, const char* from, const char* to,
            std::string_view replacement, std::string& out, size_t inputUnit) {
  return Run(in, from, to, out, &replacement, inputUnit == 0 ? 1 : inputUnit);
}

bool RecodeExact(std::string_view in, const char* from, const char* to, std::string& out) {
  return Run(in, from, to, out, nullptr, 1);
}

std::string CodePageToUtf8(std::string_view text, uint32_t codePage) {
  std::string out;
  Recode(text, CharsetOrUtf8(codePage), "UTF-8", "\xEF\xBF\xBD", out);
  return out;
}

std::string Utf8ToCodePage(std::string_view utf8, uint32_t codePage) {
  std::string out;
  Recode(utf8, "UTF-8", CharsetOrUtf8(codePage), "?", out);
  return out;
}

std::wstring CodePageToWide(std::string_view text, uint32_t codePage) {
  static_assert(sizeof(wchar_t) == 4, "wide text is UTF-32 on this platform");
  std::string bytes;
  const wchar_t replacement = 0xFFFD;
  Recode(text, CharsetOrUtf8(codePage), "WCHAR_T",
         std::string_view(reinterpret_cast<const char*>(&replacement), sizeof replacement), bytes);
  std::wstring out(bytes.size() / sizeof(wchar_t), L'\0');
  bytes.copy(reinterpret_cast<char*>(out.data()), out.size() * sizeof(wchar_t));
  return out;
}

std::string WideToCodePage(std::wstring_view text, uint32_t codePage) {
  std::string out;
  Recode(std::string_view(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t)),
         "WCHAR_T", CharsetOrUtf8(codePage), "?", out, sizeof(wchar_t));
  return out;
}

}  // namespace TQuarlFuncs
