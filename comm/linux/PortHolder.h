// Who holds a serial device: the program to name when the device is busy.
// Read from /proc, as far as this process may look there; the device itself
// is never opened.
#pragma once

#include <string>

namespace QuarlComm32 {

struct TPortHolder {
  int Pid = 0;       // 0: not found
  std::string Name;  // its command name (/proc/PID/comm)
  bool Locked = false;  // found by its lock, not only by an open descriptor
};

// The process that holds the lock on the device at `path` (/proc/locks), or
// else one that has the device open (/proc/*/fd), another process before
// this one. Pid 0 when none can be seen. `procRoot`: where /proc is.
TPortHolder FindPortHolder(const std::string& path, const std::string& procRoot = "/proc");

}  // namespace QuarlComm32
