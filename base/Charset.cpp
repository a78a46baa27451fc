#include "Charset.h"

#include <cerrno>
#include <iconv.h>

namespace TQuarlFuncs {
namespace {

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

// Runs one conversion. On a character that cannot be converted, either stops
// (strict) or writes the replacement and skips one input unit.
bool Run(std::string_view in, const char* from, const char* to, std::string& out,
         const std::string_view* replacement, size_t inputUnit) {
  out.clear();
  IconvHandle cd(to, from);
  if (!cd.valid()) return false;

  char* src = const_cast<char*>(in.data());
  size_t srcLeft = in.size();
  char chunk[1024];
  auto drain = [&](char* end) { out.append(chunk, static_cast<size_t>(end - chunk)); };
  while (srcLeft > 0) {
    char* dst = chunk;
    size_t dstLeft = sizeof chunk;
    const size_t r = iconv(cd.get(), &src, &srcLeft, &dst, &dstLeft);
    const int err = errno;
    drain(dst);
    if (r != static_cast<size_t>(-1) || err == E2BIG) continue;
    // EILSEQ (bad or unrepresentable character) or EINVAL (input ends inside
    // a character).
    if (replacement == nullptr) {
      out.clear();
      return false;
    }
    out.append(*replacement);
    const size_t skip = inputUnit < srcLeft ? inputUnit : srcLeft;
    src += skip;
    srcLeft -= skip;
  }
  // Flush any shift state once the input is used up.
  char* dst = chunk;
  size_t dstLeft = sizeof chunk;
  iconv(cd.get(), nullptr, nullptr, &dst, &dstLeft);
  drain(dst);
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
