// Renders the main window as it looks at start, without a screen, into a PNG:
//   window_shot docs/main-window.png
// The port list is fixed (COM1 and COM3) so that the picture does not depend
// on the machine it was made on.
#include <QPixmap>

#include <cstdio>

#include "Application.h"
#include "MainWindow.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT.png\n", argv[0]);
    return 2;
  }
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  Z500::TApplication app(argc, argv);
  TForm1::TServices services;
  services.PortMap = std::make_shared<QuarlComm32::TFixedPortMap>(
      std::vector<QuarlComm32::TPortEntry>{{1, "/dev/ttyUSB0"}, {3, "/dev/ttyS2"}});
  TForm1 form(services);
  form.show();
  QCoreApplication::processEvents();
  if (!form.grab().save(QString::fromLocal8Bit(argv[1]), "PNG")) {
    std::fprintf(stderr, "window_shot: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
