// The texts, the font and the placing of controls of the component's
// dialogs. A text exists in three
// columns (Simplified Chinese, Traditional Chinese, English); the application
// language picks one, which is kept as GBK bytes, passed through
// AppLang.FromGBK (Big5 for Traditional Chinese) and decoded in the code page
// of the system's locale, as every narrow text of the component is.
#pragma once

#include <QFont>
#include <QString>
#include <QWidget>

namespace QuarlComm32 {

struct TDialogText {
  const char* Simplified;   // UTF-8 in the source
  const char* Traditional;
  const char* English;
};

// The text for the application language as the user sees it.
QString DialogText(const TDialogText& text);
// Narrow text in the locale's code page (system information, port names).
QString LocaleText(const char* bytes);
// The application language's font: its name, in the given point size
// (0: the language's own size).
QFont DialogFont(int pointSize = 0);

// A new control of the dialog, named as the form names it, at a fixed place.
template <class W>
W* Place(QWidget* parent, const char* name, int left, int top, int width, int height) {
  auto* w = new W(parent);
  w->setObjectName(QLatin1String(name));
  w->setGeometry(left, top, width, height);
  return w;
}

}  // namespace QuarlComm32
