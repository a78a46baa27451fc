// Whether a serial device is free for the next program: no lock on it and
// no exclusive mark left on it.
#pragma once

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <string>

inline bool PortIsFree(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  int marked = 1;
  const bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::ioctl(fd, TIOCGEXCL, &marked) == 0 && marked == 0;
  ::close(fd);
  return free;
}
