// Opens a port with the comm device component in package mode, sends one
// package and prints every package that comes back, cut by a pause of the
// given interval, as the component's OnPackage event delivers it on the main
// thread.
//   packages COM1 19200 '$$\x01...' [seconds to listen, default 3] [interval ms, default 50]
#include <QCoreApplication>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "PortMap.h"
#include "Unescape.h"
#include "VellCommDevice.h"

using namespace QuarlComm32;

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s COMn baud text [seconds] [interval ms]\n", argv[0]);
    return 2;
  }
  TVellCommDevice dev;
  dev.fSetPortNo(ComNumberOf(argv[1]));
  const auto* rate = std::find(std::begin(TVellCommDevice::BaudRates), std::end(TVellCommDevice::BaudRates),
                               static_cast<uint32_t>(std::atoi(argv[2])));
  if (rate == std::end(TVellCommDevice::BaudRates)) {
    std::fprintf(stderr, "%s: not a rate of the component's table (110 ... 256000)\n", argv[2]);
    return 2;
  }
  dev.fSetBaud(static_cast<TVellCommDevice::TBaudRate>(rate - std::begin(TVellCommDevice::BaudRates)));
  dev.fSetPackageType(cptFrameTimeout);
  dev.fSetPackageInterval(argc > 5 ? std::atoi(argv[5]) : 50);
  dev.fSetUsePackage(true);
  dev.OnPackage = [&](QObject*, int) {
    unsigned char buf[4096];
    const unsigned long n = dev.ReadPackage(buf, sizeof buf);
    if (n == 0) return;  // the send queue ran empty, or a line changed
    std::printf("package of %lu bytes:", n);
    for (unsigned long i = 0; i < n; ++i) std::printf(" %02X", buf[i]);
    std::printf("\n");
  };
  try {
    dev.fSetActive(true);
  } catch (const EComm32Error& e) {
    std::fprintf(stderr, "%s: %s (%s)\n", argv[1], e.MessageUtf8().c_str(), std::strerror(e.OsError));
    return 1;
  }
  const std::string text = Unescape(argv[3]);
  dev.Write(text.data(), static_cast<long>(text.size()));
  QTimer::singleShot((argc > 4 ? std::atoi(argv[4]) : 3) * 1000, &app, &QCoreApplication::quit);
  return app.exec();
}
