#include "DialogText.h"

#include <QStringList>

#include "AppLang.h"
#include "Charset.h"

namespace QuarlComm32 {

using TQuarlFuncs::AppLang;

QString DialogText(const TDialogText& text) {
  const char* utf8 = AppLang.fGetLangType() == TQuarlFuncs::ltSimplified    ? text.Simplified
                     : AppLang.fGetLangType() == TQuarlFuncs::ltTraditional ? text.Traditional
                                                                            : text.English;
  const TQuarlFuncs::TQuarlString gbk(TQuarlFuncs::Utf8ToCodePage(utf8, 936));
  return QString::fromStdString(AppLang.FromGBK(gbk).ToUtf8());
}

QString LocaleText(const char* bytes) {
  return QString::fromStdString(TQuarlFuncs::TQuarlString(bytes).ToUtf8());
}

QFont DialogFont(int pointSize) {
  // The Windows fonts the language names stand for, as this system has them.
  static const bool substituted = [] {
    const QStringList cjk = {QStringLiteral("WenQuanYi Micro Hei"), QStringLiteral("Noto Sans CJK SC"),
                             QStringLiteral("DejaVu Sans")};
    for (const char* name : {"宋体", "細明體", "MS Sans Serif"}) QFont::insertSubstitutions(QString::fromUtf8(name), cjk);
    return true;
  }();
  (void)substituted;
  QFont font(LocaleText(AppLang.fGetFontName().c_str()));
  font.setPointSize(pointSize > 0 ? pointSize : AppLang.fGetFontSize());
  return font;
}

}  // namespace QuarlComm32
