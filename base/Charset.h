// Conversions between Windows-style code pages, UTF-8 and wide text, done
// with glibc's iconv. Everything else in base/ that changes the encoding of a
// text goes through here.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace TQuarlFuncs {

// The iconv name of a Windows ANSI/OEM code page ("GBK" for 936, "BIG5" for
// 950, "CP1252" for 1252 ...), or nullptr when the code page is not known.
const char* CodePageCharset(uint32_t codePage);

// Converts between two iconv character sets, through Unicode code points.
// Input that the source set cannot decode becomes U+FFFD: for UTF-8 each
// maximal ill-formed part (overlong, surrogate, 5- and 6-byte forms, above
// U+10FFFF, cut short), for other sets one input unit of `inputUnit` bytes
// (4 for WCHAR_T/UTF-32, 1 for byte-oriented sets). Every character the
// target set cannot hold, U+FFFD included, is written as `replacement` (given
// in the target encoding), so the result is always whole and well-formed.
// Returns false only when iconv does not know one of the two sets; `out` is
// then empty.
bool Recode(std::string_view in, const char* from, const char* to,
            std::string_view replacement, std::string& out, size_t inputUnit = 1);

// Strict conversion: false (and `out` empty) as soon as one character cannot be
// decoded or converted, or the input ends inside a character.
bool RecodeExact(std::string_view in, const char* from, const char* to, std::string& out);

// Narrow text in a code page to UTF-8 and back (unknown code page: the text is
// taken as UTF-8). Undecodable bytes become U+FFFD, characters the code page
// cannot hold '?' (so does U+FFFD itself outside UTF-8).
std::string CodePageToUtf8(std::string_view text, uint32_t codePage);
std::string Utf8ToCodePage(std::string_view utf8, uint32_t codePage);

// Narrow text in a code page to wide text and back.
std::wstring CodePageToWide(std::string_view text, uint32_t codePage);
std::string WideToCodePage(std::wstring_view text, uint32_t codePage);

}  // namespace TQuarlFuncs
