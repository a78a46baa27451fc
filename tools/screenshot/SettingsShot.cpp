// Renders the comm device's port settings dialog, without a screen, into a
// PNG, in Simplified Chinese (zh) or English (en):
//   settings_shot zh docs/settings-dialog-zh.png
// The port list is fixed (COM1 and COM3) so that the picture does not depend
// on the machine it was made on.
#include <QApplication>
#include <QPixmap>

#include <cstdio>
#include <cstring>

#include "AppLang.h"
#include "PortMap.h"
#include "SettingsDialog.h"
#include "StringLocale.h"

using namespace QuarlComm32;

int main(int argc, char** argv) {
  if (argc != 3 || (std::strcmp(argv[1], "zh") != 0 && std::strcmp(argv[1], "en") != 0)) {
    std::fprintf(stderr, "usage: %s zh|en OUTPUT.png\n", argv[0]);
    return 2;
  }
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const bool chinese = std::strcmp(argv[1], "zh") == 0;
  TQuarlFuncs::_SysLocale.InitLCID(chinese ? 0x0804 : 0x0409);
  TQuarlFuncs::AppLang.fSetLangType(chinese ? TQuarlFuncs::ltSimplified : TQuarlFuncs::ltWestern);

  TVellCommDevice device;
  device.SetPortMap(std::make_shared<TFixedPortMap>(
      std::vector<TPortEntry>{{1, "/dev/ttyUSB0"}, {3, "/dev/ttyS2"}}));
  device.fSetPortNo(1);
  device.fSetBaud(TVellCommDevice::br19200);
  TForm_VellCommDevice_Settings dialog(nullptr, true, &device);
  dialog.show();
  QCoreApplication::processEvents();
  if (!dialog.grab().save(QString::fromLocal8Bit(argv[2]), "PNG")) {
    std::fprintf(stderr, "settings_shot: cannot write %s\n", argv[2]);
    return 1;
  }
  return 0;
}
