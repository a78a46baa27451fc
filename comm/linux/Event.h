// TEvent: a manual- or auto-reset event over an eventfd, so that threads can
// wait for several events and a serial device together in one poll().
#pragma once

#include <initializer_list>

struct pollfd;

namespace QuarlComm32 {

class TEvent {
public:
  enum TResetMode { rmManual, rmAuto };

  // Unsignalled at first. Valid() is false when no descriptor could be had.
  explicit TEvent(TResetMode mode = rmManual);
  ~TEvent();
  TEvent(const TEvent&) = delete;
  TEvent& operator=(const TEvent&) = delete;

  bool Valid() const { return Descriptor >= 0; }
  int Fd() const { return Descriptor; }
  TResetMode Mode() const { return ResetMode; }

  void Set();
  void Reset();
  // Manual: whether it is set. Auto: takes the signal if it is there.
  bool TryTake();
  // True when the event fired within timeoutMs (-1: no limit). An auto-reset
  // event is reset by the wait that sees it.
  bool Wait(int timeoutMs);

  static constexpr int kTimeout = -1;
  // The wait could not be made: more than kMaxEvents events, an event without
  // descriptor, or poll() itself failed (errno tells why).
  static constexpr int kError = -2;
  // One poll() covers the events and `extra`: at most eight descriptors.
  static constexpr int kMaxEvents = 7;
  // Waits until one of the events fires or timeoutMs passes (-1: no limit).
  // Returns the index of the fired event, the lowest when several are,
  // kTimeout or kError. `extra`, when given, is polled with the events; its
  // revents are filled in and, if it became ready before any event, the
  // result is events.size().
  static int WaitAny(std::initializer_list<TEvent*> events, int timeoutMs,
                     pollfd* extra = nullptr);

private:
  int Descriptor;
  TResetMode ResetMode;
};

}  // namespace QuarlComm32
