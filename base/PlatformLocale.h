// What the system says about locales, in the Windows terms the base library is
// written in: the process locale as an LCID, the ANSI code page of an LCID, the
// lead-byte ranges of a code page and the direction of its characters.
#pragma once

#include <cstdint>

namespace TQuarlFuncs {

// Code page record: maximum bytes per character, default character, and up to
// six lead-byte ranges (first, last) ended by a 0, 0 pair.
struct TCodePageInfo {
  uint32_t MaxCharSize;
  uint8_t DefaultChar[2];
  uint8_t LeadByte[12];
};

// The locale name in force for messages: LC_ALL, LC_MESSAGES or LANG, the first
// that is set and not empty; nullptr when none is.
const char* ProcessLocaleName();

// Maps a POSIX locale name ("zh_TW.UTF-8", "de_DE@euro", "fr") to its LCID.
// Returns 0 for C, POSIX, an empty or null name and languages the table lacks.
uint32_t LcidFromLocaleName(const char* name);

// The LCID of the process locale, 0 when it is unknown.
uint32_t ProcessLcid();

// The default ANSI code page of an LCID (936, 950, 1252 ...).
uint32_t AnsiCodePageOfLcid(uint32_t lcid);

// Fills the code page record; false (and the record untouched) for a code page
// the platform does not know.
bool CodePageInfoOf(uint32_t codePage, TCodePageInfo& info);

// True when one of the bytes 0x80-0xFE of a single-byte code page decodes to a
// right-to-left character (Hebrew, Arabic and their presentation forms, the
// right-to-left mark).
bool HasRightToLeftBytes(uint32_t codePage);

}  // namespace TQuarlFuncs
