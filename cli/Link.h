// One receiver's run of a z500ctl command on a link of its own: opening the
// port, the command's exchanges, and what came of it as data (TResult), so
// that one receiver alone prints as text and several print per port or as
// JSON. Internal to z500ctl.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "DirectoryEntries.h"
#include "EComm32Error.h"
#include "Interrupt.h"
#include "LineTrace.h"
#include "ReceiverSession.h"
#include "Z500Ctl.h"

namespace Z500Ctl {

// A failure on its way to the one line and the exit code it ends with.
struct TFailure {
  TExitCode Code;
  std::string Message;
};

// `seconds` from now.
Z500::TDeadline Deadline(double seconds);
// "2 s", "0.5 s".
std::string Seconds(double s);
// Why a port did not open, as z500ctl says it: the engine's message, the
// system's reason, and what to do where the user can do something.
std::string OpenFailureReason(const QuarlComm32::EComm32Error& e);
// The device a port name opens: the port map's path of COMn, or the path
// given; "" when COMn is not mapped.
std::string DeviceOf(const std::string& port);

struct TUpgraded {
  int32_t Bytes = 0;
  double Seconds = 0;
};

// What a command got done on one receiver, as far as it came.
struct TResult {
  std::optional<std::pair<uint8_t, uint8_t>> Parameters;  // params, params set: as read back
  std::optional<std::vector<Z500::TDirectoryEntry>> Files;  // files: the whole listing
  std::vector<Z500::TFileName> Deleted;                     // delete: each name gone, checked
  std::string Done;                                         // format, sound, unlog, reset-baud: the line
  std::optional<TUpgraded> Upgraded;
};

// How a receiver's run ended: its exit code, the message of a failure (one
// line, without the "z500ctl: " lead), and its result so far.
struct TOutcome {
  int Code = xOk;
  std::string Error;
  TResult Result;
};

// Where an upgrade reports how it goes.
class IProgress {
public:
  virtual ~IProgress() = default;
  // The handshake starts: the receiver should be switched on now.
  virtual void Calling() = 0;
  virtual void Sent(int32_t done, int32_t total) = 0;
  // The upgrade ended, done or not.
  virtual void Ended() = 0;
};

struct TLinkContext {
  TInterrupt& Process;             // the process's interrupt: the link's waits and pauses end on it
  Z500::TLineTrace* Trace;         // nullptr: no trace
  IProgress* Progress;             // nullptr: the upgrade shows none
};

// Runs the command of `options` on `port`; never throws.
TOutcome RunOnPort(const TArguments& options, const std::string& port, const TLinkContext& context);

// Checks the firmware file of an upgrade before any port opens: named for a
// hardware version, a regular file that opens, neither empty nor too large.
// Throws TFailure.
void CheckFirmware(const TArguments& options);

}  // namespace Z500Ctl
