// Lists the serial ports as COM numbers with the device each one opens.
//   list_ports
#include <cstdio>

#include "PortMap.h"

int main() {
  std::vector<QuarlComm32::TPortEntry> ports;
  if (!QuarlComm32::DefaultPortMap()->List(ports)) {
    std::fprintf(stderr, "the list of serial ports cannot be read (no /sys/class/tty, no QUARLCOMM_PORTS)\n");
    return 1;
  }
  if (ports.empty()) std::printf("no serial ports\n");
  for (const auto& p : ports) std::printf("COM%-3d %s\n", p.Number, p.Device.c_str());
  return 0;
}
