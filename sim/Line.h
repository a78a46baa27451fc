// Descriptors the simulator serves: an owned descriptor, a wake-up event,
// and the two kinds of line (a pseudo-terminal pair, or a serial device).
// Failures throw std::system_error with the path or step in the message.
#pragma once

#include <cstdint>
#include <string>

namespace z500sim {

class UniqueFd {
public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int Get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Reset(int fd = -1);

private:
  int fd_ = -1;
};

// An eventfd: Signal() makes it readable until Drain().
class EventFd {
public:
  EventFd();
  int Get() const { return fd_.Get(); }
  void Signal();
  void Drain();

private:
  UniqueFd fd_;
};

struct Pty {
  UniqueFd master;  // non-blocking, close-on-exec
  UniqueFd slave;   // raw 8N1 at 19200, as a serial port would be
  std::string slavePath;
};
Pty OpenPty();

// Opens a serial device raw, 8N1, at `baud` (a standard rate; 0 means 19200),
// non-blocking.
UniqueFd OpenDevice(const std::string& path, uint32_t baud);

// The slave path of a pseudo-terminal master, or "" when fd is not one.
std::string SlavePathOf(int fd);

}  // namespace z500sim
