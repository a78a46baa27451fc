#include "Event.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>

namespace QuarlComm32 {

TEvent::TEvent(TResetMode mode)
    : Descriptor(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)), ResetMode(mode) {}

TEvent::~TEvent() {
  if (Descriptor >= 0) ::close(Descriptor);
}

void TEvent::Set() {
  if (Descriptor < 0) return;
  // The counter only needs to be non-zero; it cannot realistically overflow,
  // and EAGAIN (it would) still leaves the event set.
  const uint64_t one = 1;
  while (::write(Descriptor, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void TEvent::Reset() {
  if (Descriptor < 0) return;
  uint64_t value;
  while (::read(Descriptor, &value, sizeof value) < 0 && errno == EINTR) {
  }
}

bool TEvent::TryTake() {
  if (Descriptor < 0) return false;
  if (ResetMode == rmAuto) {
    uint64_t value;
    ssize_t n;
    while ((n = ::read(Descriptor, &value, sizeof value)) < 0 && errno == EINTR) {
    }
    return n == sizeof value;
  }
  pollfd p{Descriptor, POLLIN, 0};
  return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
}

bool TEvent::Wait(int timeoutMs) { return WaitAny({this}, timeoutMs) == 0; }

int TEvent::WaitAny(std::initializer_list<TEvent*> events, int timeoutMs, pollfd* extra) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  const int n = static_cast<int>(events.size());
  pollfd fds[kMaxEvents + 1];
  if (n > kMaxEvents) {
    errno = EINVAL;
    return kError;
  }
  for (TEvent* e : events) {
    if (e == nullptr || e->Descriptor < 0) {
      errno = EBADF;
      return kError;
    }
  }
  for (;;) {
    int i = 0;
    for (TEvent* e : events) fds[i++] = pollfd{e->Descriptor, POLLIN, 0};
    if (extra != nullptr) fds[n] = pollfd{extra->fd, extra->events, 0};
    int wait = timeoutMs;
    if (timeoutMs > 0) {
      // Rounded up: a wait never ends before its time (rounded down, a 1 ms
      // wait would not wait at all and a caller looping on it would spin).
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      wait = left > 0 ? static_cast<int>(left) : 0;
    }
    const int r = ::poll(fds, n + (extra != nullptr ? 1 : 0), wait);
    if (r < 0) {
      if (errno == EINTR) continue;
      return kError;
    }
    if (r == 0) return kTimeout;
    i = 0;
    for (TEvent* e : events) {
      // Another waiter may have taken an auto-reset event first: wait again.
      if ((fds[i].revents & POLLIN) != 0 && (e->ResetMode == rmManual || e->TryTake())) return i;
      ++i;
    }
    if (extra != nullptr && fds[n].revents != 0) {
      extra->revents = fds[n].revents;
      return n;
    }
    if (timeoutMs == 0) return kTimeout;
  }
}

}  // namespace QuarlComm32
