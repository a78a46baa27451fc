#include "Line.h"

#include <fcntl.h>
#include <pty.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace z500sim {

namespace {

[[noreturn]] void Fail(const std::string& what) { throw std::system_error(errno, std::generic_category(), what); }

speed_t SpeedConstant(uint32_t baud) {
  switch (baud) {
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 0:
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    case 460800: return B460800;
    case 921600: return B921600;
    default: return B0;
  }
}

// Raw 8N1; reads wait for at least `minBytes` (the simulator's own descriptors
// are non-blocking, so this matters only to other readers of a pty slave).
void SetRaw(int fd, speed_t speed, cc_t minBytes, const std::string& what) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) Fail(what + ": cannot read the line settings");
  cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cflag &= ~(CSTOPB | PARENB | CRTSCTS);
  t.c_cc[VMIN] = minBytes;
  t.c_cc[VTIME] = 0;
  cfsetispeed(&t, speed);
  cfsetospeed(&t, speed);
  if (tcsetattr(fd, TCSANOW, &t) != 0) Fail(what + ": cannot set the line raw");
}

}  // namespace

void UniqueFd::Reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

EventFd::EventFd() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (!fd_) Fail("eventfd");
}

void EventFd::Signal() {
  const uint64_t one = 1;
  // Fails only when the counter is about to overflow, and then it is readable.
  [[maybe_unused]] ssize_t n = ::write(fd_.Get(), &one, sizeof one);
}

void EventFd::Drain() {
  uint64_t value;
  [[maybe_unused]] ssize_t n = ::read(fd_.Get(), &value, sizeof value);
}

Pty OpenPty() {
  int master = -1, slave = -1;
  if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) Fail("openpty");
  Pty pty{UniqueFd(master), UniqueFd(slave), {}};
  if (::fcntl(master, F_SETFD, FD_CLOEXEC) != 0 || ::fcntl(slave, F_SETFD, FD_CLOEXEC) != 0 ||
      ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK) != 0)
    Fail("pseudo-terminal: fcntl");
  pty.slavePath = SlavePathOf(master);
  if (pty.slavePath.empty()) Fail("pseudo-terminal: no slave name");
  SetRaw(slave, B19200, 1, pty.slavePath);
  return pty;
}

UniqueFd OpenDevice(const std::string& path, uint32_t baud) {
  const speed_t speed = SpeedConstant(baud);
  if (speed == B0) {
    errno = EINVAL;
    Fail(path + ": " + std::to_string(baud) + " baud is not a standard rate for a device");
  }
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!fd) Fail(path + ": cannot open");
  if (!::isatty(fd.Get())) {
    errno = ENOTTY;
    Fail(path + ": not a serial device");
  }
  SetRaw(fd.Get(), speed, 0, path);
  return fd;
}

std::string SlavePathOf(int fd) {
  char name[128];
  if (::ptsname_r(fd, name, sizeof name) != 0) return {};
  return name;
}

}  // namespace z500sim
