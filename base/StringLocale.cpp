#include "StringLocale.h"

#include <cstdlib>
#include <string>

namespace TQuarlFuncs {

TStringLocale _SysLocale;

TStringLocale::TStringLocale() { InitLCID(); }

TStringLocale::TStringLocale(uint32_t lcid) { InitLCID(lcid); }

TStringLocale::TStringLocale(const TStringLocale& other) = default;

void TStringLocale::InitLCID() {
  uint32_t lcid = ProcessLcid();
  InitLCID(lcid != 0 ? lcid : 1033);
}

void TStringLocale::InitLCID(uint32_t lcid) {
  LCID = lcid;
  PrimaryLang = static_cast<uint16_t>(lcid & 0x3FF);
  SubLang = static_cast<uint16_t>((lcid >> 10) & 0x3F);
  HasLeadBytes = false;
  RightToLeft = false;
  UserFlag1 = false;
  UserFlag2 = false;
  GetCodePageInfo();
  GetLcidEastern();
}

void TStringLocale::GetCodePageInfo() {
  CodePage = AnsiCodePageOfLcid(LCID);
  if (!CodePageInfoOf(CodePage, CPInfo)) CPInfo = TCodePageInfo{};
}

bool TStringLocale::IsLcidWestern() const {
  switch (PrimaryLang) {
    case 6: case 7: case 9: case 10: case 11: case 12:
    case 16: case 19: case 20: case 22: case 29:
      return true;
    default:
      return false;
  }
}

void TStringLocale::GetLcidEastern() {
  if (IsLcidWestern()) return;
  HasLeadBytes = CPInfo.LeadByte[0] != 0 || CPInfo.LeadByte[1] != 0;
  if (HasLeadBytes) return;
  RightToLeft = HasRightToLeftBytes(CodePage);
}

bool TStringLocale::IsLeadByte(uint8_t c) const {
  for (int i = 0; i < 12; i += 2) {
    uint8_t first = CPInfo.LeadByte[i], last = CPInfo.LeadByte[i + 1];
    if (first == 0 && last == 0) break;
    if (c >= first && c <= last) return true;
  }
  return false;
}

int TStringLocale::ByteType(const char* text, int index) const {
  if (text == nullptr || index < 0) return 0;
  int type = 0;
  for (int i = 0; i <= index; ++i) {
    if (text[i] == '\0') return 0;
    type = (type == 1) ? 2 : (IsLeadByte(static_cast<uint8_t>(text[i])) ? 1 : 0);
  }
  return type;
}

}  // namespace TQuarlFuncs
