// The link to one receiver for z500ctl: the serial engine and the package
// framer driven directly, without Qt, in the window's line settings and
// package mode (19200 8N1, queues of 8192 bytes, packages cut by a 50 ms
// pause, 16 slots of 4096 bytes). Packages are announced by the framer's
// thread; the caller's thread waits for them with a deadline and hands each
// one to the reply dispatcher.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "Clock.h"
#include "Interrupt.h"
#include "ReceiverFrames.h"
#include "ReplyDispatcher.h"
#include "TComm32.h"
#include "TCommPackage.h"

namespace Z500Ctl {

using TDeadline = std::chrono::steady_clock::time_point;

// How a wait on the link ended. A wait that an interrupt ends raises
// TInterrupted instead, as do Quiet and Drain.
enum class TWaitEnd { Done, TimedOut, LineLost };

class TReceiverLink {
public:
  // `interrupt` (when given) ends every wait and pause at once.
  explicit TReceiverLink(Z500::IClock& clock, TInterrupt* interrupt = nullptr);
  ~TReceiverLink();
  TReceiverLink(const TReceiverLink&) = delete;
  TReceiverLink& operator=(const TReceiverLink&) = delete;

  // Opens `port`: "COMn" through the port map, or a device path (anything
  // with a '/'). Throws QuarlComm32::EComm32Error when it cannot be opened,
  // std::invalid_argument when `port` is neither.
  void Open(const std::string& port);
  // Stops the receiver's periodic output as the window does after opening,
  // then drops whatever it had sent until then. True when the unlog command
  // came back among it: the line echoes what is sent.
  bool Quiet();

  // Hands one whole frame to the framer; false when it was not taken.
  bool Send(const Z500::TFrame& frame);
  // Waits until everything sent has left the queues and the driver has
  // reported its output empty; false when the queues did not empty before
  // `deadline` or the line was lost.
  bool Drain(TDeadline deadline);

  // Dispatches every package that arrives to `routes` until `done` says so
  // (checked after each package), the deadline passes, or the line is lost.
  TWaitEnd Wait(const Z500::TReplyRoutes& routes, bool upgrading, const std::function<bool()>& done,
                TDeadline deadline);

  // Switches packaging off, writes `frame` and scans the raw byte stream
  // for `head` for at most `limitMs`, then switches packaging on again. The
  // frame's own echo does not count as the answer.
  TWaitEnd SendAndWaitForHead(const Z500::TFrame& frame, const Z500::TReplyHead& head, uint32_t limitMs);

private:
  void Notified(int notifyType);
  bool Interrupted() const { return Interrupt != nullptr && Interrupt->Signal() != 0; }
  void CheckInterrupt() const {
    if (Interrupt != nullptr) Interrupt->Check();
  }

  Z500::IClock& Clock;
  TInterrupt* Interrupt;
  std::unique_ptr<QuarlComm32::TComm32> Comm;
  std::unique_ptr<QuarlComm32::TCommPackage> Package;
  std::mutex Lock;
  std::condition_variable Changed;
  uint64_t Notifications = 0;  // Lock
  bool LineError = false;      // Lock
  uint64_t TransmitEmpties = 0;  // Lock: the driver's "all sent" notifications
  uint64_t SentMark = 0;         // Lock: TransmitEmpties at the last Send
};

}  // namespace Z500Ctl
