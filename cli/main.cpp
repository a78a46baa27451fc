// z500ctl: the receiver's features for scripts; see Z500Ctl.h. SIGINT,
// SIGTERM and SIGHUP end the work under way: the port is closed and the exit
// code is 128 + the signal's number, as shells expect.
#include <unistd.h>

#include <iostream>

#include "Interrupt.h"
#include "Z500Ctl.h"

int main(int argc, char** argv) {
  Z500Ctl::TInterrupt interrupt;
  Z500Ctl::TSignalCatcher catcher(interrupt);  // before any other thread starts
  return Z500Ctl::Run(argc, argv, std::cout, std::cerr, ::isatty(STDERR_FILENO) == 1, &interrupt);
}
