#include "PlatformLocale.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "Charset.h"

namespace TQuarlFuncs {
namespace {

struct LocaleLcid {
  const char* name;  // "ll_CC", or "ll" for the language's default
  uint32_t lcid;
};

// Windows LCIDs of the locales a Linux system commonly has. A bare language
// code stands for the language's main country.
constexpr LocaleLcid kLcids[] = {
    {"zh_CN", 0x0804}, {"zh_SG", 0x1004}, {"zh_TW", 0x0404}, {"zh_HK", 0x0C04},
    {"zh_MO", 0x1404}, {"zh", 0x0804},
    {"en_US", 0x0409}, {"en_GB", 0x0809}, {"en_AU", 0x0C09}, {"en_CA", 0x1009},
    {"en_NZ", 0x1409}, {"en_IE", 0x1809}, {"en_ZA", 0x1C09}, {"en_IN", 0x4009},
    {"en_SG", 0x4809}, {"en", 0x0409},
    {"de_DE", 0x0407}, {"de_CH", 0x0807}, {"de_AT", 0x0C07}, {"de_LU", 0x1007},
    {"de_LI", 0x1407}, {"de", 0x0407},
    {"fr_FR", 0x040C}, {"fr_BE", 0x080C}, {"fr_CA", 0x0C0C}, {"fr_CH", 0x100C},
    {"fr_LU", 0x140C}, {"fr", 0x040C},
    {"es_ES", 0x0C0A}, {"es_MX", 0x080A}, {"es_AR", 0x2C0A}, {"es", 0x0C0A},
    {"it_IT", 0x0410}, {"it_CH", 0x0810}, {"it", 0x0410},
    {"nl_NL", 0x0413}, {"nl_BE", 0x0813}, {"nl", 0x0413},
    {"pt_BR", 0x0416}, {"pt_PT", 0x0816}, {"pt", 0x0816},
    {"da_DK", 0x0406}, {"da", 0x0406}, {"fi_FI", 0x040B}, {"fi", 0x040B},
    {"sv_SE", 0x041D}, {"sv_FI", 0x081D}, {"sv", 0x041D},
    {"nb_NO", 0x0414}, {"nn_NO", 0x0814}, {"no_NO", 0x0414}, {"nb", 0x0414},
    {"ja_JP", 0x0411}, {"ja", 0x0411}, {"ko_KR", 0x0412}, {"ko", 0x0412},
    {"th_TH", 0x041E}, {"th", 0x041E}, {"vi_VN", 0x042A}, {"vi", 0x042A},
    {"ru_RU", 0x0419}, {"ru", 0x0419}, {"uk_UA", 0x0422}, {"uk", 0x0422},
    {"be_BY", 0x0423}, {"bg_BG", 0x0402}, {"bg", 0x0402}, {"mk_MK", 0x042F},
    {"sr_RS", 0x281A}, {"pl_PL", 0x0415}, {"pl", 0x0415}, {"cs_CZ", 0x0405},
    {"cs", 0x0405}, {"sk_SK", 0x041B}, {"sl_SI", 0x0424}, {"hr_HR", 0x041A},
    {"hu_HU", 0x040E}, {"hu", 0x040E}, {"ro_RO", 0x0418}, {"sq_AL", 0x041C},
    {"el_GR", 0x0408}, {"el", 0x0408}, {"tr_TR", 0x041F}, {"tr", 0x041F},
    {"he_IL", 0x040D}, {"he", 0x040D}, {"ar_SA", 0x0401}, {"ar_EG", 0x0C01},
    {"ar", 0x0401}, {"fa_IR", 0x0429}, {"ur_PK", 0x0420},
    {"et_EE", 0x0425}, {"lv_LV", 0x0426}, {"lt_LT", 0x0427},
    {"id_ID", 0x0421}, {"ms_MY", 0x043E}, {"ca_ES", 0x0403}, {"is_IS", 0x040F},
};

uint32_t Lookup(const std::string& key) {
  for (const auto& e : kLcids)
    if (key == e.name) return e.lcid;
  return 0;
}

}  // namespace

const char* ProcessLocaleName() {
  for (const char* var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* v = std::getenv(var);
    if (v != nullptr && *v != '\0') return v;
  }
  return nullptr;
}

uint32_t LcidFromLocaleName(const char* name) {
  if (name == nullptr) return 0;
  // Keep "language_TERRITORY": drop ".codeset" and "@modifier".
  std::string s(name, std::strcspn(name, ".@"));
  if (s.empty() || s == "C" || s == "POSIX") return 0;
  if (uint32_t lcid = Lookup(s)) return lcid;
  // An unknown territory falls back to the language's default.
  return Lookup(s.substr(0, s.find('_')));
}

uint32_t ProcessLcid() { return LcidFromLocaleName(ProcessLocaleName()); }

uint32_t AnsiCodePageOfLcid(uint32_t lcid) {
  const uint32_t primary = lcid & 0x3FF;
  const uint32_t sub = (lcid >> 10) & 0x3F;
  switch (primary) {
    case 0x04: return (sub == 2 || sub == 4) ? 936 : 950;  // PRC, Singapore : TW, HK, MO
    case 0x11: return 932;
    case 0x12: return 949;
    case 0x1E: return 874;
    case 0x05: case 0x0E: case 0x15: case 0x18: case 0x1B: case 0x1C: case 0x24:
      return 1250;
    case 0x02: case 0x19: case 0x22: case 0x23: case 0x2F:
      return 1251;
    case 0x1A:  // Croatian and Serbian (Latin) : Serbian and Bosnian (Cyrillic)
      return (sub == 3 || sub == 7 || sub == 10 || sub == 12) ? 1251 : 1250;
    case 0x08: return 1253;
    case 0x1F: return 1254;
    case 0x0D: return 1255;
    case 0x01: case 0x20: case 0x29: return 1256;
    case 0x25: case 0x26: case 0x27: return 1257;
    case 0x2A: return 1258;
    default: return 1252;
  }
}

bool CodePageInfoOf(uint32_t codePage, TCodePageInfo& info) {
  if (CodePageCharset(codePage) == nullptr) return false;
  TCodePageInfo r{};
  r.MaxCharSize = 1;
  r.DefaultChar[0] = '?';
  switch (codePage) {
    case 936:
    case 949:
    case 950:
      r.MaxCharSize = 2;
      r.LeadByte[0] = 0x81;
      r.LeadByte[1] = 0xFE;
      break;
    case 932:
      r.MaxCharSize = 2;
      r.LeadByte[0] = 0x81;
      r.LeadByte[1] = 0x9F;
      r.LeadByte[2] = 0xE0;
      r.LeadByte[3] = 0xFC;
      break;
    case 65001:
      r.MaxCharSize = 4;
      break;
    default:
      break;
  }
  info = r;
  return true;
}

bool HasRightToLeftBytes(uint32_t codePage) {
  const char* cs = CodePageCharset(codePage);
  if (cs == nullptr || codePage == 65001) return false;
  char bytes[0xFE - 0x80 + 1];
  for (int b = 0x80; b <= 0xFE; ++b) bytes[b - 0x80] = static_cast<char>(b);
  // Undefined bytes become U+FFFD, so each byte gives one 4-byte unit.
  std::string u;
  Recode(std::string_view(bytes, sizeof bytes), cs, "UTF-32LE", std::string_view("\xFD\xFF\0\0", 4), u);
  for (size_t i = 0; i + 4 <= u.size(); i += 4) {
    const uint32_t c = static_cast<uint8_t>(u[i]) | static_cast<uint8_t>(u[i + 1]) << 8 |
                       static_cast<uint32_t>(static_cast<uint8_t>(u[i + 2])) << 16;
    if ((c >= 0x0590 && c <= 0x08FF) ||  // Hebrew, Arabic, Syriac, Thaana ...
        (c >= 0xFB1D && c <= 0xFDFF) ||  // Hebrew and Arabic presentation forms A
        (c >= 0xFE70 && c <= 0xFEFE) ||  // Arabic presentation forms B
        c == 0x200F)                     // right-to-left mark
      return true;
  }
  return false;
}

}  // namespace TQuarlFuncs
