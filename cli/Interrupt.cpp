#include "Interrupt.h"

#include <pthread.h>

#include <chrono>

namespace Z500Ctl {

void TInterrupt::Raise(int signal) {
  int none = 0;
  RaisedSignal.compare_exchange_strong(none, signal, std::memory_order_acq_rel);
  std::lock_guard lock(Lock);
  Woken.notify_all();
  for (const auto& [owner, waker] : Wakers) waker();
}

void TInterrupt::Check() const {
  if (const int signal = Signal()) throw TInterrupted{signal};
}

void TInterrupt::Sleep(uint32_t ms) {
  std::unique_lock lock(Lock);
  Woken.wait_for(lock, std::chrono::milliseconds(ms), [this] { return Signal() != 0; });
}

void TInterrupt::SetWaker(const void* owner, std::function<void()> waker) {
  std::lock_guard lock(Lock);
  std::erase_if(Wakers, [owner](const auto& w) { return w.first == owner; });
  if (waker) Wakers.emplace_back(owner, std::move(waker));
}

TSignalCatcher::TSignalCatcher(TInterrupt& interrupt) : Interrupt(interrupt) {
  sigemptyset(&Caught);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction now {};
    if (::sigaction(signal, nullptr, &now) == 0 && now.sa_handler == SIG_IGN) continue;
    sigaddset(&Caught, signal);
    if (First == 0) First = signal;
  }
  if (First == 0) return;
  ::pthread_sigmask(SIG_BLOCK, &Caught, &Previous);
  Taker = std::thread([this] { Take(); });
}

TSignalCatcher::~TSignalCatcher() {
  if (First == 0) return;
  Ending.store(true, std::memory_order_release);
  ::pthread_kill(Taker.native_handle(), First);
  Taker.join();
  ::pthread_sigmask(SIG_SETMASK, &Previous, nullptr);
}

void TSignalCatcher::Take() {
  for (;;) {
    int signal = 0;
    if (::sigwait(&Caught, &signal) != 0) return;
    if (Ending.load(std::memory_order_acquire)) return;
    Interrupt.Raise(signal);
  }
}

}  // namespace Z500Ctl
