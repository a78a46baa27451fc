#include "AppLang.h"

#include <string>

namespace TQuarlFuncs {

const char* const Str_SongTi = "\xCB\xCE\xCC\xE5";             // 宋体 (GBK)
const char* const Str_XiMyTi = "\xB2\xD3\xA9\xFA\xC5\xE9";     // 細明體 (Big5)
const char* const Str_MsSansSerif = "MS Sans Serif";

uint16_t SystemDefaultLangID() {
  uint32_t lcid = ProcessLcid();
  return static_cast<uint16_t>(lcid != 0 ? lcid : 1033);
}

TAppLang AppLang;

TAppLang::TAppLang() : TAppLang(SystemDefaultLangID()) {}

TAppLang::TAppLang(uint16_t langId) : LangID(langId) { fSetDetectType(dtAuto); }

void TAppLang::fSetDetectType(TDetectType t) {
  DetectType = t;
  _fLangTypeFromDetectType();
  _fCharsetFromLangType();
  _fFontNameSizeFromLangType();
}

void TAppLang::fSetLangType(TLangType t) {
  LangType = t;
  DetectType = dtManual;
  _fCharsetFromLangType();
  _fFontNameSizeFromLangType();
}

void TAppLang::fSetCharset(uint8_t c) {
  Charset = c;
  DetectType = dtManual;
  LangType = c == GB2312_CHARSET ? ltSimplified : c == CHINESEBIG5_CHARSET ? ltTraditional : ltWestern;
}

void TAppLang::_fLangTypeFromDetectType() {
  if (DetectType == dtManual) return;
  if ((LangID & 0x3FF) != 4) {
    LangType = ltWestern;
    return;
  }
  const int sub = LangID >> 10;
  LangType = (sub == 2 || sub == 4) ? ltSimplified : ltTraditional;
}

void TAppLang::_fCharsetFromLangType() {
  Charset = LangType == ltSimplified    ? GB2312_CHARSET
            : LangType == ltTraditional ? CHINESEBIG5_CHARSET
                                        : ANSI_CHARSET;
}

void TAppLang::_fFontNameSizeFromLangType() {
  switch (LangType) {
    case ltSimplified:
      FontName = Str_SongTi;
      FontSize = 9;
      break;
    case ltTraditional:
      FontName = Str_XiMyTi;
      FontSize = 9;
      break;
    default:
      FontName = Str_MsSansSerif;
      FontSize = 8;
      break;
  }
}

int TAppLang::_fGetMinFontSize() const {
  return (LangType == ltSimplified || LangType == ltTraditional) ? 9 : 8;
}

int TAppLang::_fGBK_No(uint8_t first, uint8_t second) {
  const int n = first * 191 + second - 24703;
  return (n < 0 || n >= GB2BIG5_ENTRIES) ? 0 : n;
}

TQuarlString TAppLang::FromGBK(const TQuarlString& text) const {
  if (LangType != ltTraditional || !CvtBig5) return text;
  const auto* in = reinterpret_cast<const unsigned char*>(text.c_str());
  const int n = text.Length();
  std::string out(static_cast<size_t>(n), '\0');
  int i = 0;
  while (i < n) {
    const unsigned char b1 = in[i];
    const unsigned char b2 = in[i + 1];  // the terminator when i is the last byte
    if (b1 >= 0x81 && b1 <= 0xFE && b2 >= 0x40 && b2 <= 0xFE) {
      const unsigned char* e = GB2BIG5_TAB[_fGBK_No(b1, b2)];
      out[i] = static_cast<char>(e[0] ^ 0x80);
      out[i + 1] = static_cast<char>(e[1]);
      i += 2;
    } else {
      out[i] = static_cast<char>(b1);
      i += 1;
    }
  }
  TQuarlString result(out);
  result.SetLocale(text.HasPrivateLocale() ? &text.Locale() : nullptr);
  return result;
}

}  // namespace TQuarlFuncs
