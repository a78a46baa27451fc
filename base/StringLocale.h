// TStringLocale: one locale (LCID, code page, lead bytes, direction) and the
// process-wide _SysLocale that every narrow string uses by default.
#pragma once

#include <cstdint>

#include "PlatformLocale.h"

namespace TQuarlFuncs {

class TStringLocale {
public:
  TStringLocale();                    // the process locale
  explicit TStringLocale(uint32_t lcid);
  TStringLocale(const TStringLocale& other);
  TStringLocale& operator=(const TStringLocale& other) = default;

  void InitLCID();                    // the process locale, 1033 when unknown
  void InitLCID(uint32_t lcid);
  void GetCodePageInfo();
  bool IsLcidWestern() const;
  void GetLcidEastern();
  bool IsLeadByte(uint8_t c) const;
  // 0 single byte, 1 lead byte, 2 trail byte; 0 when text ends before index.
  int ByteType(const char* text, int index) const;

  uint32_t LCID = 0;
  uint16_t PrimaryLang = 0;
  uint16_t SubLang = 0;
  bool HasLeadBytes = false;
  bool RightToLeft = false;
  uint32_t CodePage = 0;
  TCodePageInfo CPInfo{};
  // Free for the string's users; cleared by InitLCID, kept by copies.
  bool UserFlag1 = false;
  bool UserFlag2 = false;
};

extern TStringLocale _SysLocale;

}  // namespace TQuarlFuncs
