#include "SerialDriver.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <cerrno>

#include "PortHolder.h"
#include "Termios2.h"

namespace QuarlComm32 {
namespace {

// How often modem lines are sampled while CTS, DSR or carrier changes are
// wanted (the engine asks only while a listener wants them) and the device
// has them. The kernel's TIOCMIWAIT cannot be ended by a stop request, so
// the lines are read from the event wait instead.
constexpr int kLinePollMs = 10;

uint32_t LinesFromTiocm(int bits) {
  uint32_t s = 0;
  if (bits & TIOCM_CTS) s |= MS_CTS_ON;
  if (bits & TIOCM_DSR) s |= MS_DSR_ON;
  if (bits & TIOCM_RI) s |= MS_RING_ON;
  if (bits & TIOCM_CD) s |= MS_RLSD_ON;
  return s;
}

}  // namespace

TSerialDriver::~TSerialDriver() { Close(); }

int TSerialDriver::Open(const std::string& path) {
  Close();
  HolderFound = {};
  if (!WakeEvent.Valid()) return EMFILE;
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return Refused(path, errno);
  // The lock first: it is what makes the port ours, and the kernel drops it
  // with its holder, however that ends.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno == EWOULDBLOCK ? EBUSY : errno;
    ::close(fd);
    return Refused(path, err);
  }
  // Exclusive mode, only while we hold the lock, keeps out programs that
  // take no lock (all but a privileged user). A mark found set here has no
  // holder: whoever set it has gone without clearing it (killed while
  // something else kept the device open), so it is ours now.
  bool exclusive = ::ioctl(fd, TIOCEXCL) == 0;
  if (!exclusive && errno != ENOTTY && errno != EINVAL) {
    const int err = errno;
    ::close(fd);
    return err;
  }
  Descriptor = fd;
  Exclusive = exclusive;
  DeviceGone.store(false, std::memory_order_relaxed);
  WakeupCount.store(0, std::memory_order_relaxed);
  LinesChecked = false;
  return 0;
}

int TSerialDriver::Refused(const std::string& path, int err) {
  if (err == EBUSY) HolderFound = FindPortHolder(path);
  return err;
}

void TSerialDriver::Close() {
  if (Descriptor < 0) return;
  if (Exclusive) ::ioctl(Descriptor, TIOCNXCL);
  ::flock(Descriptor, LOCK_UN);
  ::close(Descriptor);
  Descriptor = -1;
  Exclusive = false;
}

int TSerialDriver::SetMask(uint32_t mask) {
  if (Descriptor < 0) return EBADF;
  EventMask.store(mask, std::memory_order_release);
  MaskChanges.fetch_add(1, std::memory_order_acq_rel);
  WakeEvent.Set();
  return 0;
}

int TSerialDriver::Setup(int32_t inSize, int32_t outSize) {
  (void)inSize;
  (void)outSize;
  return Descriptor < 0 ? EBADF : 0;
}

int TSerialDriver::SetState(const QuarlComm32::DCB& dcb) {
  if (Descriptor < 0) return EBADF;
  TTermios t;
  if (int err = TermiosFromDcb(dcb, t)) return err;
  if (int err = ApplyTermios(Descriptor, t)) return err;
  // Size and parity are not compared: a pseudo-terminal always reports 8
  // bits without parity, whatever it was given.
  TLineSettings got;
  if (int err = ReadLineSettings(Descriptor, got)) return err;
  if (!RateTaken(dcb.BaudRate, got.BaudRate)) return EINVAL;
  BitsPerSecond = got.BaudRate;
  BitsPerChar = 1 + dcb.ByteSize + (dcb.Parity != NOPARITY ? 1 : 0) + (dcb.StopBits != ONESTOPBIT ? 2 : 1);

  // The modem lines: a pseudo-terminal has none, which is no failure.
  int dtr = TIOCM_DTR, rts = TIOCM_RTS;
  ::ioctl(Descriptor, dcb.fDtrControl == DTR_CONTROL_DISABLE ? TIOCMBIC : TIOCMBIS, &dtr);
  if (dcb.fRtsControl == RTS_CONTROL_ENABLE) ::ioctl(Descriptor, TIOCMBIS, &rts);
  else if (dcb.fRtsControl == RTS_CONTROL_DISABLE) ::ioctl(Descriptor, TIOCMBIC, &rts);
  return 0;
}

int TSerialDriver::DrainWaitMs(int queued) const {
  const long long ms = static_cast<long long>(queued) * BitsPerChar * 1000 / std::max<uint32_t>(BitsPerSecond, 1);
  return static_cast<int>(std::clamp<long long>(ms + 1, 1, 200));
}

void TSerialDriver::Wake() {
  MaskChanges.fetch_add(1, std::memory_order_acq_rel);
  WakeEvent.Set();
}

uint32_t TSerialDriver::WaitEvent(TEvent& stop, bool& stopped, TEvent* room) {
  stopped = false;
  const uint32_t changes = MaskChanges.load(std::memory_order_acquire);
  if (!LinesChecked) {
    int bits = 0;
    LinesChecked = true;
    HasLines = ReadLines(bits) == 0;
    LastLines = HasLines ? LinesFromTiocm(bits) : 0;
  }
  for (;;) {
    const uint32_t mask = EventMask.load(std::memory_order_acquire);
    if (MaskChanges.load(std::memory_order_acquire) != changes) return 0;
    int timeout = -1;
    uint32_t events = LineChanges(mask, timeout);
    if (events != 0) return events;
    switch (PollOnce(stop, room, mask, timeout, events)) {
      case pollAgain: break;
      case pollStopped: stopped = true; return 0;
      case pollDone: return events;
    }
  }
}

// The modem lines wanted in the mask that changed since the last look; sets
// the poll's time limit while they are watched.
uint32_t TSerialDriver::LineChanges(uint32_t mask, int& timeout) {
  if (!HasLines || Gone() || !(mask & (EV_CTS | EV_DSR | EV_RLSD))) return 0;
  timeout = kLinePollMs;
  int bits = 0;
  if (ReadLines(bits) != 0) return 0;
  const uint32_t lines = LinesFromTiocm(bits);
  const uint32_t changed = lines ^ LastLines;
  LastLines = lines;
  uint32_t events = 0;
  if ((changed & MS_CTS_ON) && (mask & EV_CTS)) events |= EV_CTS;
  if ((changed & MS_DSR_ON) && (mask & EV_DSR)) events |= EV_DSR;
  if ((changed & MS_RLSD_ON) && (mask & EV_RLSD)) events |= EV_RLSD;
  return events;
}

// One poll() of the stop event, the wake event, the port (unless it is
// gone) and `room`: pollDone with the events found (0 for a wake-up by
// `room`), pollStopped, or pollAgain when nothing of the mask happened.
TSerialDriver::TPollOutcome TSerialDriver::PollOnce(TEvent& stop, TEvent* room, uint32_t mask, int timeout,
                                                    uint32_t& events) {
  pollfd fds[4] = {{stop.Fd(), POLLIN, 0}, {WakeEvent.Fd(), POLLIN, 0}, {Descriptor, 0, 0}, {-1, 0, 0}};
  const bool watchPort = !Gone();
  if ((mask & EV_RXCHAR) && room == nullptr) fds[2].events = POLLIN;
  int count = watchPort ? 3 : 2;
  if (room != nullptr) fds[count++] = pollfd{room->Fd(), POLLIN, 0};
  const int r = ::poll(fds, static_cast<nfds_t>(count), timeout);
  WakeupCount.fetch_add(1, std::memory_order_relaxed);
  if (r < 0) {
    if (errno == EINTR) return pollAgain;
    // A wait that fails outright is reported once, like a lost device; if
    // it keeps failing, it is retried at a calm pace.
    if (!Gone()) {
      MarkGone();
      events = mask & EV_ERR;
      return pollDone;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return pollAgain;
  }
  if (fds[0].revents & POLLIN) return pollStopped;
  if (fds[1].revents & POLLIN) WakeEvent.TryTake();
  if (room != nullptr && (fds[count - 1].revents & POLLIN) && room->TryTake()) return pollDone;
  if (watchPort) {
    const short rev = fds[2].revents;
    if (rev & POLLIN) events |= EV_RXCHAR & mask;
    // The device is gone (an unplugged adapter, a closed pty master): say
    // so once and stop watching it, or poll() would return at once forever.
    if (rev & (POLLERR | POLLHUP | POLLNVAL)) {
      MarkGone();
      events |= EV_ERR & mask;
    }
  }
  return events != 0 ? pollDone : pollAgain;
}

int TSerialDriver::BytesWaiting() const {
  int n = 0;
  if (::ioctl(Descriptor, FIONREAD, &n) != 0) return -errno;
  return n;
}

ssize_t TSerialDriver::Read(void* buf, size_t n) {
  const ssize_t r = ::read(Descriptor, buf, n);
  return r < 0 ? -errno : r;
}

ssize_t TSerialDriver::Write(const void* buf, size_t n) {
  const ssize_t r = ::write(Descriptor, buf, n);
  return r < 0 ? -errno : r;
}

int TSerialDriver::OutputQueued() const {
  int queued = 0;
  if (Descriptor < 0 || Gone() || ::ioctl(Descriptor, TIOCOUTQ, &queued) != 0) return 0;
  return queued;
}

int TSerialDriver::LossCounters(TLossCounters& c) const {
  if (Descriptor < 0) return EBADF;
  if (LossReader) return LossReader(Descriptor, c) ? 0 : ENOTTY;
  serial_icounter_struct k{};
  if (::ioctl(Descriptor, TIOCGICOUNT, &k) != 0) return errno;
  c.Overrun = static_cast<uint32_t>(k.overrun);
  c.BufferOverrun = static_cast<uint32_t>(k.buf_overrun);
  return 0;
}

TSerialDriver::TWriteWait TSerialDriver::WaitWritable(TEvent& stop, TEvent& other) {
  if (Gone()) return wwFailed;
  pollfd port{Descriptor, POLLOUT, 0};
  const int which = TEvent::WaitAny({&stop, &other}, -1, &port);
  if (which == 0) return wwStopped;
  if (which == 1) return wwOther;
  if (which == 2 && (port.revents & POLLOUT) && !(port.revents & (POLLERR | POLLHUP | POLLNVAL))) return wwWritable;
  return wwFailed;
}

int TSerialDriver::ReadLines(int& bits) const {
  if (LineReader) return LineReader(Descriptor, bits) ? 0 : ENOTTY;
  return ::ioctl(Descriptor, TIOCMGET, &bits) == 0 ? 0 : errno;
}

int TSerialDriver::ModemStatus(uint32_t& status) const {
  int bits = 0;
  if (Descriptor < 0) return EBADF;
  if (int err = ReadLines(bits)) return err;
  status = LinesFromTiocm(bits);
  return 0;
}

namespace {
int Result(int rc) { return rc == 0 ? 0 : errno; }
}  // namespace

int TSerialDriver::Escape(uint32_t function) {
  if (Descriptor < 0) return EBADF;
  int dtr = TIOCM_DTR, rts = TIOCM_RTS;
  switch (function) {
    case SETXOFF: return Result(::tcflow(Descriptor, TCOOFF));
    case SETXON: return Result(::tcflow(Descriptor, TCOON));
    case SETRTS: return Result(::ioctl(Descriptor, TIOCMBIS, &rts));
    case CLRRTS: return Result(::ioctl(Descriptor, TIOCMBIC, &rts));
    case SETDTR: return Result(::ioctl(Descriptor, TIOCMBIS, &dtr));
    case CLRDTR: return Result(::ioctl(Descriptor, TIOCMBIC, &dtr));
    case SETBREAK: return Result(::ioctl(Descriptor, TIOCSBRK));
    case CLRBREAK: return Result(::ioctl(Descriptor, TIOCCBRK));
    default: return EINVAL;
  }
}

int TSerialDriver::Purge(uint32_t flags) {
  if (Descriptor < 0) return EBADF;
  int err = 0;
  if (flags & (PURGE_RXCLEAR | PURGE_RXABORT)) err = Result(::tcflush(Descriptor, TCIFLUSH));
  if (flags & (PURGE_TXCLEAR | PURGE_TXABORT)) {
    const int tx = Result(::tcflush(Descriptor, TCOFLUSH));
    if (err == 0) err = tx;
  }
  return err;
}

}  // namespace QuarlComm32
