#include "Link.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <span>
#include <stdexcept>

#include "FirmwareBlocks.h"
#include "LinkSteps.h"
#include "NameText.h"
#include "PortMap.h"

namespace Z500Ctl {

namespace {

using SteadyClock = std::chrono::steady_clock;
using Z500::TWaitEnd;

std::string Address(uint32_t address) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08" PRIX32, address);
  return text;
}

// Why a listing ended short: the answer to `what` (`length` its length
// field, `arrived` the payload bytes that came) did not make sense after
// `listed` entries.
TFailure PageFailure(Z500::TPageFault fault, const std::string& what, uint16_t length, size_t arrived,
                     size_t listed) {
  switch (fault) {
    case Z500::TPageFault::pfMalformed:
      return {xNotDone, "the receiver's answer to " + what + " is no directory page (length " +
                            std::to_string(length) + ": a page is whole 32-byte entries); the listing is incomplete"};
    case Z500::TPageFault::pfCut:
      return {xNotDone, "the receiver's answer to " + what + " came cut short each time (" + std::to_string(arrived) +
                            " of its " + std::to_string(length) + " bytes the last time); the listing is incomplete"};
    case Z500::TPageFault::pfRepeated:
      return {xNotDone, "the receiver answered " + what + " with a page it had sent before; its directory does not end"};
    default:
      return {xNotDone, "the receiver's directory does not end after " + std::to_string(listed) + " entries"};
  }
}

// The hardware version the firmware file is named for.
uint8_t FirmwareVersion(const std::string& path) {
  const std::optional<int> version = Z500::HardwareVersionFromPath(path);
  if (!version) throw TFailure{xFile, path + ": not a firmware file (no .rxf in its name)"};
  if (!Z500::IsHardwareVersion(*version))
    throw TFailure{xVersion, path + " is named for hardware version " + std::to_string(*version) +
                                 ", which no receiver has (0 to 255)"};
  return static_cast<uint8_t>(*version);
}

Quarl::TRegularFile OpenFirmware(const std::string& path) {
  Z500::TFirmwareFile firmware = Z500::OpenFirmwareFile(path);
  switch (firmware.Fault) {
    case Z500::TFirmwareFault::None: return std::move(firmware.File);
    case Z500::TFirmwareFault::CannotOpen:
      throw TFailure{xFile, "cannot open " + path + ": " + std::strerror(firmware.Error)};
    case Z500::TFirmwareFault::CannotExamine:
      throw TFailure{xFile, "cannot read " + path + ": " + std::strerror(firmware.Error)};
    case Z500::TFirmwareFault::Directory: throw TFailure{xFile, path + " is a directory, not a firmware file"};
    case Z500::TFirmwareFault::NotRegular:
      throw TFailure{xFile, path + " is not a regular file (a FIFO, device or socket)"};
    case Z500::TFirmwareFault::Empty: throw TFailure{xFile, path + " is empty"};
    case Z500::TFirmwareFault::TooLarge: throw TFailure{xFile, path + " is too large for a firmware image"};
  }
  throw TFailure{xInternal, "unknown firmware file fault"};
}

// Tells the progress that the upgrade ended, however it ends.
struct TProgressEnd {
  IProgress* Progress;
  ~TProgressEnd() {
    if (Progress) Progress->Ended();
  }
};

// One command on one receiver; what it gets done goes into `result`.
class TSession {
public:
  TSession(const TArguments& options, const std::string& port, const TLinkContext& context, TResult& result)
      : Options(options), Port(port), Progress(context.Progress), Result(result), Clock(context.Process),
        Link(Clock, &context.Process) {
    if (context.Trace) Link.SetTrace(context.Trace, port);
  }

  void Run() {
    switch (Options.Command) {
      case TCommand::Upgrade: Upgrade(); return;  // checks the file before it opens the port
      case TCommand::ParamsSet: Open(); ParamsSet(Options.Interval, Options.Cutoff); return;
      case TCommand::Params: Open(); Result.Parameters = ReadParameters(); return;
      case TCommand::Files: Open(); Result.Files = ListDirectory(); return;
      case TCommand::Delete: Open(); Delete(Options.Names); return;
      case TCommand::Format: Open(); Format(); return;
      case TCommand::Sound: Open(); SendOnly(Z500::SoundCommand(), "sent the sound command"); return;
      case TCommand::ResetBaud: Open(); ResetBaud(); return;
      case TCommand::Unlog: Open(); SendOnly(Z500::UnlogCommand(), "sent the unlog command"); return;
      case TCommand::Scan:
      case TCommand::Ports: break;
    }
    throw TFailure{xInternal, "not a command for one receiver"};
  }

private:
  void Open() {
    try {
      Link.Open(Port);
    } catch (const QuarlComm32::EComm32Error& e) {
      throw TFailure{xPort, "cannot open " + Port + ": " + OpenFailureReason(e)};
    } catch (const std::invalid_argument& e) {
      throw TFailure{xUsage, std::string("--port: ") + e.what()};
    }
    if (Link.Quiet())
      throw TFailure{xLine, "the line on " + Port + " gives back every byte sent (a loopback plug, or an "
                            "RS-485 adapter that echoes): no receiver answers there"};
  }

  void Send(const Z500::TFrame& frame) {
    if (!Link.Send(frame)) throw TFailure{xLine, "the serial line did not take the frame"};
  }

  // Dispatches replies until `done`, for at most `limit`.
  void Await(const Z500::TReplyRoutes& routes, const std::function<bool()>& done, const std::string& what,
             std::chrono::duration<double> limit, bool upgrading = false) {
    Check(Link.Wait(routes, upgrading, done, Deadline(limit.count())), what, limit.count());
  }
  void Await(const Z500::TReplyRoutes& routes, const std::function<bool()>& done, const std::string& what) {
    Await(routes, done, what, std::chrono::duration<double>(Options.Timeout));
  }

  static void Check(TWaitEnd end, const std::string& what, double seconds) {
    if (end == TWaitEnd::TimedOut || end == TWaitEnd::EchoOnly)
      throw TFailure{xTimeout, "no answer from the receiver to " + what + " within " + Seconds(seconds)};
    if (end == TWaitEnd::LineLost) throw TFailure{xLine, "the serial line was lost during " + what};
  }

  std::pair<uint8_t, uint8_t> ReadParameters() {
    std::optional<std::pair<uint8_t, uint8_t>> got;
    Z500::TReplyRoutes routes;
    routes.Parameters = [&](uint8_t interval, uint8_t cutoff) { got.emplace(interval, cutoff); };
    Send(Z500::ReadParametersRequest());
    Await(routes, [&] { return got.has_value(); }, "the parameter request");
    return *got;
  }

  void ParamsSet(uint8_t interval, uint8_t cutoff) {
    bool set = false;
    Z500::TReplyRoutes routes;
    routes.ParametersSet = [&] { set = true; };
    Send(Z500::WriteParametersRequest(interval, cutoff));
    Await(routes, [&] { return set; }, "the parameter setting");
    // The acknowledgement carries no values: read them back to be sure.
    const auto now = ReadParameters();
    Result.Parameters = now;
    if (now != std::pair(interval, cutoff))
      throw TFailure{xNotDone, "the receiver acknowledged, but reads back interval " + std::to_string(now.first) +
                                   " and cut-off " + std::to_string(now.second)};
  }

  // Every page of the directory, each awaited for --timeout. A page cut by
  // a pause in the line is asked for again once the line is quiet; a page
  // that does not make sense ends the listing as a failure, never as its end.
  std::vector<Z500::TDirectoryEntry> ListDirectory() {
    std::vector<Z500::TDirectoryEntry> files;
    Z500::TDirectoryListing listing;
    for (int cuts = 0;;) {
      std::optional<Z500::TDirectoryPageStep> step;
      uint16_t length = 0;
      size_t arrived = 0;
      Z500::TReplyRoutes routes;
      const auto listed = static_cast<int32_t>(files.size());
      routes.DirectoryPage = [&](uint16_t l, std::span<const uint8_t> payload) {
        step = listing.Page(l, payload, listed);
        length = l, arrived = payload.size();
      };
      Send(Z500::DirectoryRequest(static_cast<uint16_t>(files.size())));
      const std::string what = "the directory request for entry " + std::to_string(listed);
      Await(routes, [&] { return step.has_value(); }, what);
      if (step->Fault == Z500::TPageFault::pfCut && cuts++ < Z500::MaxCutPageRetries) {
        AwaitQuiet();
        continue;
      }
      files.insert(files.end(), step->Entries.begin(), step->Entries.end());
      if (step->Fault != Z500::TPageFault::pfNone) throw PageFailure(step->Fault, what, length, arrived, files.size());
      if (!step->RequestNext) return files;
      cuts = 0;
    }
  }

  // Drops what arrives until the line has been quiet for CutPageQuietMs, for
  // at most --timeout.
  void AwaitQuiet() {
    const auto until = Deadline(Options.Timeout);
    const auto quiet = std::chrono::milliseconds(Z500::CutPageQuietMs);
    TWaitEnd end;
    while ((end = Link.Wait({}, false, [] { return true; }, std::min(until, SteadyClock::now() + quiet))) ==
           TWaitEnd::Done) {
      if (SteadyClock::now() >= until) break;
    }
    if (end == TWaitEnd::LineLost) Check(end, "the directory listing", 0);
  }

  // The names of `arguments`, each once, after checking that each is there
  // and can be deleted alone.
  static std::vector<Z500::TFileName> NamesToDelete(const std::vector<TNameArgument>& arguments,
                                                    const std::vector<Z500::TDirectoryEntry>& listed) {
    std::vector<Z500::TFileName> names;
    for (const auto& a : arguments) {
      // The request carries only the 8 name bytes, so an extension given is
      // checked here: a name listed with another extension is not there.
      if (std::none_of(listed.begin(), listed.end(), [&](const auto& f) {
            return f.Name == a.Name && (!a.Extension || f.Extension == *a.Extension);
          }))
        throw TFailure{xNotFound, "no file named " + ArgumentText(a) + " on the receiver; nothing was deleted"};
      // The receiver deletes every file of that name: one asked for by its
      // extension must not take another extension's file along.
      if (const auto other = std::find_if(listed.begin(), listed.end(), [&](const auto& f) {
            return a.Extension && f.Name == a.Name && f.Extension != *a.Extension;
          });
          other != listed.end())
        throw TFailure{xUsage, ArgumentText(a) + " cannot be deleted alone: the receiver deletes by name, and " +
                                   PrintedName(*other) + " has the same name (give " + EscapeBytes(a.Name) +
                                   " to delete both); nothing was deleted"};
      if (std::find(names.begin(), names.end(), a.Name) == names.end()) names.push_back(a.Name);
    }
    return names;
  }

  void Delete(const std::vector<TNameArgument>& arguments) {
    const auto names = NamesToDelete(arguments, ListDirectory());
    for (size_t at = 0; at < names.size(); at += Z500::MaxDeleteNames) {
      const std::span<const Z500::TFileName> batch =
          std::span(names).subspan(at, std::min(Z500::MaxDeleteNames, names.size() - at));
      bool finished = false;
      Z500::TReplyRoutes routes;
      routes.DeleteFinished = [&] { finished = true; };
      Send(Z500::DeleteRequest(batch));
      Await(routes, [&] { return finished; }, "the delete request");
    }
    // The delete reply says nothing about what went: list again to be sure.
    const auto left = ListDirectory();
    for (const auto& name : names) {
      if (std::any_of(left.begin(), left.end(), [&](const auto& f) { return f.Name == name; }))
        throw TFailure{xNotDone, "the receiver still lists " + EscapeBytes(name) + " after the delete"};
      Result.Deleted.push_back(name);
    }
  }

  void Format() {
    Check(Link.SendAndWaitForHead(Z500::FormatRequest(), Z500::FormatHead, Z500::FormatWaitMs), "the format",
          Z500::FormatWaitMs / 1000.0);
    Result.Done = "formatted; restart the receiver";
  }

  void ResetBaud() {
    Check(Link.SendAndWaitForHead(Z500::SerialResetCommand(), Z500::SerialResetHead, Z500::SerialResetWaitMs),
          "the serial reset", Z500::SerialResetWaitMs / 1000.0);
    Result.Done = "the receiver's serial port is back at its default baud rate";
  }

  // A command the receiver does not answer: done once it has left the port.
  void SendOnly(const Z500::TFrame& frame, const char* done) {
    Send(frame);
    if (!Link.Drain(Deadline(Options.Timeout)))
      throw TFailure{xLine, "the command did not leave the port within " + Seconds(Options.Timeout)};
    Result.Done = done;
  }

  void Upgrade() {
    const uint8_t version = FirmwareVersion(Options.Firmware);  // the file is checked before the port opens
    Quarl::TRegularFile file = OpenFirmware(Options.Firmware);
    Open();
    const TProgressEnd ended{Progress};
    CallReceiver(version);
    const auto started = SteadyClock::now();
    const int32_t size = SendBlocks(file);
    Result.Upgraded = TUpgraded{size, std::chrono::duration<double>(SteadyClock::now() - started).count()};
  }

  // Sends the handshake every HandshakePeriodMs until the receiver answers
  // with `version`, for at most --handshake-timeout.
  void CallReceiver(uint8_t version) {
    if (Progress) Progress->Calling();
    std::optional<uint8_t> answered;
    Z500::TReplyRoutes routes;
    routes.HandshakeAnswer = [&](uint8_t v) { answered = v; };
    const auto callUntil = Deadline(Options.HandshakeTimeout);
    while (!answered) {
      Send(Z500::UpgradeHandshake());
      const auto next = std::min(callUntil, SteadyClock::now() + std::chrono::milliseconds(Z500::HandshakePeriodMs));
      const TWaitEnd end = Link.Wait(routes, true, [&] { return answered.has_value(); }, next);
      if (end == TWaitEnd::LineLost || (end == TWaitEnd::TimedOut && SteadyClock::now() >= callUntil))
        Check(end, "the upgrade handshake", Options.HandshakeTimeout);
    }
    if (*answered != version)
      throw TFailure{xVersion, "the receiver's hardware version is " + std::to_string(*answered) + ", the file is for " +
                                   std::to_string(version)};
  }

  // Sends `file` block by block, each once the one before was accepted;
  // gives the firmware's size.
  int32_t SendBlocks(Quarl::TRegularFile& file) {
    const int64_t size = file.Size();
    Z500::TBlockSequencer blocks;
    blocks.Start(static_cast<int32_t>(size));
    std::optional<std::pair<uint8_t, std::optional<uint32_t>>> answer;
    Z500::TReplyRoutes routes;
    routes.BlockAnswer = [&](uint8_t result, std::optional<uint32_t> address) { answer.emplace(result, address); };
    const auto read = [&](uint8_t* buf, size_t len) { return file.Read(buf, len); };
    for (;;) {
      const Z500::TBlockSequencer::TNext next = blocks.Next(read);
      if (next.Step == Z500::TBlockSequencer::TStep::Done) return blocks.FirmwareSize;
      CheckStep(next.Step, blocks.BytesRead, size);
      answer.reset();
      Send(next.Frame);
      const uint32_t at = blocks.LoadAddress - static_cast<uint32_t>(blocks.BlockLength);
      Await(routes, [&] { return answer.has_value(); }, "the block at " + Address(at),
            std::chrono::milliseconds(Z500::BlockAnswerTimeoutMs), true);
      CheckVerdict(blocks.Judge(answer->first, answer->second), at, answer->first, answer->second);
      if (Progress) Progress->Sent(std::min(blocks.BytesSent, blocks.FirmwareSize), blocks.FirmwareSize);
    }
  }

  // A block that could not be read from the file ends the upgrade.
  void CheckStep(Z500::TBlockSequencer::TStep step, int64_t bytesRead, int64_t size) const {
    if (step == Z500::TBlockSequencer::TStep::ReadFailed)
      throw TFailure{xFile, "reading " + Options.Firmware + " failed or ended after " + std::to_string(bytesRead) +
                                " of its " + std::to_string(size) + " bytes; the receiver holds part of the firmware"};
    if (step == Z500::TBlockSequencer::TStep::Grew)
      throw TFailure{xFile, Options.Firmware + " grew beyond its " + std::to_string(size) +
                                " bytes during the upgrade; the receiver holds part of the firmware"};
  }

  // The receiver's answer to the block for `at`.
  static void CheckVerdict(Z500::TBlockVerdict verdict, uint32_t at, uint8_t result,
                           std::optional<uint32_t> address) {
    switch (verdict) {
      case Z500::TBlockVerdict::bvAccepted: return;
      case Z500::TBlockVerdict::bvWrongAddress:
        throw TFailure{xRefused, "the receiver wrote the block for " + Address(at) + " elsewhere" +
                                     (address ? " (" + Address(*address) + ")" : std::string())};
      default:
        throw TFailure{xRefused, "the receiver answered the block at " + Address(at) + " with error " +
                                     std::to_string(result)};
    }
  }

  const TArguments& Options;
  const std::string Port;
  IProgress* const Progress;
  TResult& Result;
  TInterruptibleClock Clock;
  Z500::TReceiverSession Link;
};

}  // namespace

Z500::TDeadline Deadline(double seconds) {
  return SteadyClock::now() +
         std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(seconds));
}

std::string Seconds(double s) {
  char text[32];
  std::snprintf(text, sizeof text, "%g s", s);
  return text;
}

std::string OpenFailureReason(const QuarlComm32::EComm32Error& e) {
  const std::string advice = Z500::OpenFailureAdvice(e.OsError, e.HolderPid, e.HolderName).Console;
  return e.MessageUtf8() + (e.OsError ? std::string(" (") + std::strerror(e.OsError) + ")" : "") +
         (advice.empty() ? "" : "; " + advice);
}

std::string DeviceOf(const std::string& port) {
  if (port.find('/') != std::string::npos) return port;
  const int number = QuarlComm32::ComNumberOf(port);
  return number > 0 ? QuarlComm32::DefaultPortMap()->DevicePath(number) : std::string();
}

TOutcome RunOnPort(const TArguments& options, const std::string& port, const TLinkContext& context) {
  TOutcome outcome;
  try {
    TSession(options, port, context, outcome.Result).Run();
  } catch (const TFailure& f) {
    outcome.Code = f.Code, outcome.Error = OneLine(f.Message);
  } catch (const TInterrupted& i) {  // the session has gone, and the port with it
    const char* name = ::sigabbrev_np(i.Signal);
    outcome.Code = xSignal + i.Signal;
    outcome.Error = "stopped by SIG" + (name ? std::string(name) : std::to_string(i.Signal)) + "; the port is closed";
  } catch (const std::exception& e) {
    outcome.Code = xInternal, outcome.Error = "internal fault: " + OneLine(e.what());
  }
  return outcome;
}

void CheckFirmware(const TArguments& options) {
  FirmwareVersion(options.Firmware);
  OpenFirmware(options.Firmware);
}

}  // namespace Z500Ctl
