// A request from outside to stop z500ctl (SIGINT, SIGTERM, SIGHUP). The
// link's waits and pauses end at once when it comes and raise TInterrupted,
// so that the program unwinds, closing the port on its way, and ends with
// 128 + the signal's number.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include <signal.h>

#include "Clock.h"
#include "SessionInterrupt.h"

namespace Z500Ctl {

// Thrown by a wait that the request ended.
struct TInterrupted {
  int Signal;
};

class TInterrupt : public Z500::IInterrupt {
public:
  // Records `signal` (the first one counts) and wakes every waiter. Not for
  // a signal handler: called from the thread that takes the signals.
  void Raise(int signal);
  // The signal asked for, 0 while none.
  int Signal() const { return RaisedSignal.load(std::memory_order_acquire); }
  bool Raised() const override { return Signal() != 0; }
  // Throws TInterrupted once raised.
  void Check() const override;
  // Pauses `ms` milliseconds, less when raised meanwhile.
  void Sleep(uint32_t ms);
  // Whom `owner` wants woken on Raise (nullptr: nobody any more); every
  // owner's waker is called. Once this returns, the one replaced is no
  // longer called.
  void SetWaker(const void* owner, std::function<void()> waker) override;

private:
  std::atomic<int> RaisedSignal{0};
  std::mutex Lock;
  std::condition_variable Woken;
  std::vector<std::pair<const void*, std::function<void()>>> Wakers;  // Lock
};

// The steady clock, with pauses that a raised interrupt cuts short.
class TInterruptibleClock : public Z500::IClock {
public:
  explicit TInterruptibleClock(TInterrupt& interrupt) : Interrupt(interrupt) {}
  uint32_t TickCount() override { return Steady.TickCount(); }
  void Sleep(uint32_t ms) override { Interrupt.Sleep(ms); }

private:
  TInterrupt& Interrupt;
  Z500::TSteadyClock Steady;
};

// Takes SIGINT, SIGTERM and SIGHUP (those not ignored at start, so that
// nohup and background jobs keep their ways) away from their default action
// and hands each to `interrupt` from a thread of its own, for the lifetime of
// this object. Construct it before any other thread starts: they inherit the
// blocked signals.
class TSignalCatcher {
public:
  explicit TSignalCatcher(TInterrupt& interrupt);
  ~TSignalCatcher();
  TSignalCatcher(const TSignalCatcher&) = delete;
  TSignalCatcher& operator=(const TSignalCatcher&) = delete;

private:
  void Take();

  TInterrupt& Interrupt;
  sigset_t Caught{};    // the signals this object takes
  sigset_t Previous{};  // the calling thread's mask before
  int First = 0;        // one of them, to end the thread with; 0: none
  std::atomic<bool> Ending{false};
  std::thread Taker;
};

}  // namespace Z500Ctl
