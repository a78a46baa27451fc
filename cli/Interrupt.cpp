#include "Interrupt.h"

#include <pthread.h>

#include <chrono>

namespace Z500Ctl {

void TInterrupt::Raise(int signal) {
  int none = 0;
  RaisedSignal.compare_exchange_strong(none, signal, std::memory_order_acq_rel);
  std::lock_guard lock(Lock);
  Woken.notify_all();
  if (Waker) Waker();
}

void TInterrupt::Check() const {
  if (const int signal = Signal()) throw TInterrupted{signal};
}

void TInterrupt::Sleep(uint32_t ms) {
  std::unique_lock lock(Lock);
  Woken.wait_for(lock, std::chrono::milliseconds(ms), [this] { return Signal() != 0; });
}

void TInterrupt::SetWaker(std::function<void()> waker) {
  std::lock_guard lock(Lock);
  Waker = std::move(waker);
}

void TLinkInterrupt::SetWaker(std::function<void()> waker) {
  std::lock_guard lock(Lock);
  Waker = std::move(waker);
}

void TLinkInterrupt::Wake() {
  std::lock_guard lock(Lock);
  if (Waker) Waker();
}

TLinkInterrupts::TLinkInterrupts(TInterrupt& process, size_t count) : Process(process) {
  for (size_t i = 0; i < count; ++i) Links.push_back(std::make_unique<TLinkInterrupt>(process));
  Process.SetWaker([this] {
    for (auto& link : Links) link->Wake();
  });
}

TLinkInterrupts::~TLinkInterrupts() { Process.SetWaker(nullptr); }

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
