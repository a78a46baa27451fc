#include "Application.h"

#include <QIcon>
#include <QWidget>

#include "EComm32Error.h"

// The icon's resource lives in a static library: named here so that the
// linker keeps it (this cannot be done from inside a namespace).
static void InitIconResource() { Q_INIT_RESOURCE(AppIcon); }

namespace Z500 {

TApplication::TApplication(int& argc, char** argv)
    : QApplication(argc, argv), Prompts(std::make_shared<TQtPrompts>()) {
  // The name, not the display name: Qt would add a display name to every
  // window caption.
  setApplicationName(ApplicationTitle());
  // The installed menu entry's name, by which desktops match the window to
  // it, and its icon for every window and message box.
  setDesktopFileName(QStringLiteral("z500-manager"));
  InitIconResource();
  setWindowIcon(QIcon(QStringLiteral(":/icons/z500-manager.svg")));
}

bool TApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (...) {
    ShowCurrentException();
    return false;
  }
}

void TApplication::ShowCurrentException() {
  QString text;
  try {
    throw;
  } catch (const std::exception& e) {
    text = ExceptionText(e);
  } catch (...) {
    text = QStringLiteral("Unknown error");
  }
  // An error raised while its box is open is not stacked on top of it.
  if (ShowingError) return;
  ShowingError = true;
  try {
    Prompts->Error(activeWindow(), text);
  } catch (...) {
  }
  ShowingError = false;
}

QString ExceptionText(const std::exception& e) {
  if (const auto* comm = dynamic_cast<const QuarlComm32::EComm32Error*>(&e))
    return QString::fromStdString(comm->MessageUtf8());
  return QString::fromLocal8Bit(e.what());
}

}  // namespace Z500
