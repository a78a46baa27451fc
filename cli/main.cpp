// z500ctl: the receiver's features for scripts; see Z500Ctl.h.
#include <unistd.h>

#include <iostream>

#include "Z500Ctl.h"

int main(int argc, char** argv) {
  return Z500Ctl::Run(argc, argv, std::cout, std::cerr, ::isatty(STDERR_FILENO) == 1);
}
