// One receiver session, shared by the window and z500ctl: the line and
// framer settings the link opens with, the steps after opening (LinkSteps.h),
// the teardown, the firmware file opener and the protocol's limits.
// TReceiverSession drives the serial engine and the framer directly, without
// Qt (z500ctl); the window applies the same settings to its comm device and
// takes the same steps and opener.
//
// Error convention of this layer: each family of operations ends with an
// outcome enum of its own, which the window turns into its texts and z500ctl
// into its exit codes:
//   waits on the link               TWaitEnd (below)
//   the firmware file               TFirmwareFault (below)
//   a firmware block and its answer TBlockSequencer::TStep, TBlockVerdict (FirmwareBlocks.h)
//   a directory page                TPageFault (DirectoryEntries.h)
//   a parameter typed               TParameterCheck (ParameterRules.h)
// Only opening the port throws: the engine's EComm32Error (with the system's
// reason) and std::invalid_argument for a name that is no port. A raised
// interrupt ends a wait through the interrupt's own Check().
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "Clock.h"
#include "Dcb.h"
#include "LineTrace.h"
#include "LinkSteps.h"
#include "ReceiverFrames.h"
#include "SessionInterrupt.h"
#include "RegularFile.h"
#include "ReplyDispatcher.h"
#include "TComm32.h"
#include "TCommPackage.h"

namespace Z500 {

// The line and framer settings of every link to a receiver: 19200 8N1,
// queues of 8192 bytes, driver buffers of 1200, and the framer's 16
// packages of at most 4096 bytes, each cut by a 50 ms pause on the line.
struct TLinkSettings {
  static constexpr uint32_t Baud = 19200;
  static constexpr uint8_t ByteSize = 8;
  static constexpr uint8_t Parity = QuarlComm32::NOPARITY;
  static constexpr uint8_t StopBits = QuarlComm32::ONESTOPBIT;
  static constexpr long QueueBytes = 8192;
  static constexpr long DriverBufferBytes = 1200;
  static constexpr unsigned long PackageSlots = 16;
  static constexpr unsigned long PackageBytes = 4096;
  static constexpr QuarlComm32::TCommPackageType PackageType = QuarlComm32::cptFrameTimeout;
  static constexpr unsigned long PackagePauseMs = 50;
};

// The protocol's limits beyond those of its steps (the raw reply waits in
// LinkSteps.h, the upgrade's in FirmwareBlocks.h, the directory's in
// DirectoryEntries.h).
inline constexpr size_t MaxDeleteNames = 29;        // names in one delete request
inline constexpr uint32_t HandshakePeriodMs = 500;  // the upgrade handshake goes out this often

// Why a firmware file cannot be sent. The name's hardware version is checked
// before, from the path alone (HardwareVersionFromPath).
enum class TFirmwareFault {
  None,
  CannotOpen,     // Error() of the file says why
  CannotExamine,  // as CannotOpen
  Directory,
  NotRegular,  // a FIFO, device or socket
  Empty,
  TooLarge,  // above MaxFirmwareSize
};

struct TFirmwareFile {
  TFirmwareFault Fault = TFirmwareFault::None;
  int Error = 0;             // the errno of CannotOpen and CannotExamine
  Quarl::TRegularFile File;  // open only when Fault is None
};

// Opens the firmware file for the upgrade (base's regular-file opener: it
// never blocks, whatever the path names) and checks its size.
TFirmwareFile OpenFirmwareFile(const std::string& path);

// How a wait on the link ended.
enum class TWaitEnd {
  Done,      // what was waited for came
  TimedOut,  // nothing came in time
  LineLost,  // the line failed, or the link was closed meanwhile
  EchoOnly,  // a raw reply wait saw only its own request come back
};

using TDeadline = std::chrono::steady_clock::time_point;

// The link to one receiver on the engine and the framer, in package mode.
// Packages are announced by the framer's thread; the caller's thread waits
// for them with a deadline and hands each one to the reply dispatcher.
class TReceiverSession {
public:
  // `interrupt` (when given) ends every wait and pause at once.
  explicit TReceiverSession(IClock& clock, IInterrupt* interrupt = nullptr);
  ~TReceiverSession();
  TReceiverSession(const TReceiverSession&) = delete;
  TReceiverSession& operator=(const TReceiverSession&) = delete;

  // Opens `port`: "COMn" through the port map, or a device path (anything
  // with a '/'). Throws QuarlComm32::EComm32Error when it cannot be opened,
  // std::invalid_argument when `port` is neither.
  void Open(const std::string& port);
  // Stops the receiver's periodic output as the window does after opening,
  // then drops whatever it had sent until then. True when the unlog command
  // came back among it: the line echoes what is sent.
  bool Quiet();

  // Hands one whole frame to the framer; false when it was not taken.
  bool Send(const TFrame& frame);
  // Waits until everything sent has left the queues and the driver has
  // reported its output empty; false when the queues did not empty before
  // `deadline` or the line was lost.
  bool Drain(TDeadline deadline);

  // Dispatches every package that arrives to `routes` until `done` says so
  // (checked after each package), the deadline passes, or the line is lost.
  TWaitEnd Wait(const TReplyRoutes& routes, bool upgrading, const std::function<bool()>& done,
                TDeadline deadline);

  // Switches packaging off, writes `frame` and scans the raw byte stream
  // for `head` for at most `limitMs`, then switches packaging on again. The
  // frame's own echo does not count as the answer.
  TWaitEnd SendAndWaitForHead(const TFrame& frame, const TReplyHead& head, uint32_t limitMs);

  // Records every frame and raw byte of this link in `trace` (nullptr:
  // none), each labelled `port`. Set before Open; `trace` outlives the link.
  void SetTrace(TLineTrace* trace, std::string port);

private:
  void Notified(int notifyType);
  void LineFailed();
  // Hands `bytes` to the trace, when there is one.
  void TraceBytes(TTraceDirection direction, TTraceKind kind, std::span<const uint8_t> bytes);
  void Teardown() noexcept;
  bool Interrupted() const { return Interrupt != nullptr && Interrupt->Raised(); }
  void CheckInterrupt() const {
    if (Interrupt != nullptr) Interrupt->Check();
  }

  IClock& Clock;
  IInterrupt* Interrupt;
  TLineTrace* Trace = nullptr;
  std::string TracePort;
  std::unique_ptr<QuarlComm32::TComm32> Comm;
  std::unique_ptr<QuarlComm32::TCommPackage> Package;
  std::mutex Lock;
  std::condition_variable Changed;
  uint64_t Notifications = 0;    // Lock
  bool LineError = false;        // Lock
  uint64_t TransmitEmpties = 0;  // Lock: the driver's "all sent" notifications
  uint64_t SentMark = 0;         // Lock: TransmitEmpties at the last Send
};

// Writes the link settings into an engine and its framer that are not open.
void ApplyLinkSettings(QuarlComm32::TComm32& comm, QuarlComm32::TCommPackage& package);

}  // namespace Z500
