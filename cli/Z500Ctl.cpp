#include "Z500Ctl.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "DirectoryEntries.h"
#include "EComm32Error.h"
#include "FirmwareBlocks.h"
#include "Json.h"
#include "LinkSteps.h"
#include "NameText.h"
#include "ParameterRules.h"
#include "ReceiverSession.h"

namespace Z500Ctl {

namespace {

using SteadyClock = std::chrono::steady_clock;
using Z500::TWaitEnd;

// A failure on its way to the one line and the exit code it ends with.
struct TFailure {
  TExitCode Code;
  std::string Message;
};

// `seconds` from now.
Z500::TDeadline Deadline(double seconds) {
  return SteadyClock::now() +
         std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(seconds));
}

std::string Seconds(double s) {
  char text[32];
  std::snprintf(text, sizeof text, "%g s", s);
  return text;
}

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

// One run against one receiver.
class TSession {
public:
  TSession(const TArguments& options, std::ostream& out, std::ostream& err, bool terminal, TInterrupt& interrupt)
      : Options(options), Out(out), Err(err), Terminal(terminal), Clock(interrupt), Link(Clock, &interrupt) {}

  void Open() {
    try {
      Link.Open(Options.Port);
    } catch (const QuarlComm32::EComm32Error& e) {
      const std::string advice = Z500::OpenFailureAdvice(e.OsError, e.HolderPid, e.HolderName).Console;
      throw TFailure{xPort, "cannot open " + Options.Port + ": " + e.MessageUtf8() +
                                (e.OsError ? std::string(" (") + std::strerror(e.OsError) + ")" : "") +
                                (advice.empty() ? "" : "; " + advice)};
    } catch (const std::invalid_argument& e) {
      throw TFailure{xUsage, std::string("--port: ") + e.what()};
    }
    if (Link.Quiet())
      throw TFailure{xLine, "the line on " + Options.Port + " gives back every byte sent (a loopback plug, or an "
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

  void Check(TWaitEnd end, const std::string& what, double seconds) {
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

  void PrintParameters(std::pair<uint8_t, uint8_t> values) {
    Out << "interval " << int(values.first) << "\ncutoff " << int(values.second) << "\n";
  }

  void Params() { PrintParameters(ReadParameters()); }

  void ParamsSet(uint8_t interval, uint8_t cutoff) {
    bool set = false;
    Z500::TReplyRoutes routes;
    routes.ParametersSet = [&] { set = true; };
    Send(Z500::WriteParametersRequest(interval, cutoff));
    Await(routes, [&] { return set; }, "the parameter setting");
    // The acknowledgement carries no values: read them back to be sure.
    const auto now = ReadParameters();
    PrintParameters(now);
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

  void Files() {
    const auto files = ListDirectory();
    if (Options.Json) {
      Out << "[";
      for (size_t i = 0; i < files.size(); ++i) {
        const auto& f = files[i];
        Out << (i ? ",\n " : "\n ") << "{\"number\": " << i + 1 << ", \"name\": " << JsonString(PrintedName(f))
            << ", \"name_hex\": \"" << Hex(f.Name) << "\", \"extension_hex\": \"" << Hex(f.Extension)
            << "\", \"size\": " << f.Size << ", \"size_text\": \"" << Z500::SizeText(f.Size)
            << "\", \"created\": " << JsonString(Z500::CreatedText(f.Date, f.Time)) << ", \"created_iso\": "
            << (Z500::IsRealDate(f.Date, f.Time) ? JsonString(Z500::CreatedIsoText(f.Date, f.Time)) : "null")
            << ", \"date_raw\": " << f.Date << ", \"time_raw\": " << f.Time << "}";
      }
      Out << (files.empty() ? "]\n" : "\n]\n");
      return;
    }
    if (files.empty()) Err << "z500ctl: no files on the receiver\n";
    for (size_t i = 0; i < files.size(); ++i) {
      const auto& f = files[i];
      char size[16];
      std::snprintf(size, sizeof size, "%6s", Z500::SizeText(f.Size).c_str());
      char number[24];
      std::snprintf(number, sizeof number, "%3zu", i + 1);
      Out << number << "  " << PrintedName(f) << "  " << size << "  " << Z500::CreatedText(f.Date, f.Time) << "\n";
    }
  }

  void Delete(const std::vector<TNameArgument>& arguments) {
    const auto listed = ListDirectory();
    const auto present = [](const std::vector<Z500::TDirectoryEntry>& files, const Z500::TFileName& name) {
      return std::any_of(files.begin(), files.end(), [&](const auto& f) { return f.Name == name; });
    };
    // The request carries only the 8 name bytes, so an extension given is
    // checked here: a name listed with another extension is not there.
    std::vector<Z500::TFileName> names;
    for (const auto& a : arguments) {
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
      if (present(left, name))
        throw TFailure{xNotDone, "the receiver still lists " + EscapeBytes(name) + " after the delete"};
      Out << "deleted " << EscapeBytes(name) << "\n";
    }
  }

  void Format() {
    Check(Link.SendAndWaitForHead(Z500::FormatRequest(), Z500::FormatHead, Z500::FormatWaitMs), "the format",
          Z500::FormatWaitMs / 1000.0);
    Out << "formatted; restart the receiver\n";
  }

  void ResetBaud() {
    Check(Link.SendAndWaitForHead(Z500::SerialResetCommand(), Z500::SerialResetHead, Z500::SerialResetWaitMs),
          "the serial reset", Z500::SerialResetWaitMs / 1000.0);
    Out << "the receiver's serial port is back at its default baud rate\n";
  }

  // A command the receiver does not answer: done once it has left the port.
  void SendOnly(const Z500::TFrame& frame, const char* done) {
    Send(frame);
    if (!Link.Drain(Deadline(Options.Timeout)))
      throw TFailure{xLine, "the command did not leave the port within " + Seconds(Options.Timeout)};
    Out << done << "\n";
  }

  void Upgrade() {
    const uint8_t version = FirmwareVersion();  // the file is checked before the port opens
    Quarl::TRegularFile file = OpenFirmware();
    Open();
    CallReceiver(version);
    const auto started = SteadyClock::now();
    const int32_t size = SendBlocks(file);
    const double seconds = std::chrono::duration<double>(SteadyClock::now() - started).count();
    if (Terminal) Err << "\n";
    char line[160];
    std::snprintf(line, sizeof line, "upgraded %d bytes in %.1f s (%.0f B/s); restart the receiver for the new firmware",
                  size, seconds, seconds > 0 ? size / seconds : 0.0);
    Out << line << "\n";
  }

  // The hardware version the firmware file is named for.
  uint8_t FirmwareVersion() const {
    const std::optional<int> version = Z500::HardwareVersionFromPath(Options.Firmware);
    if (!version) throw TFailure{xFile, Options.Firmware + ": not a firmware file (no .rxf in its name)"};
    if (!Z500::IsHardwareVersion(*version))
      throw TFailure{xVersion, Options.Firmware + " is named for hardware version " + std::to_string(*version) +
                                   ", which no receiver has (0 to 255)"};
    return static_cast<uint8_t>(*version);
  }

  Quarl::TRegularFile OpenFirmware() const {
    Z500::TFirmwareFile firmware = Z500::OpenFirmwareFile(Options.Firmware);
    const std::string& path = Options.Firmware;
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

  // Sends the handshake every HandshakePeriodMs until the receiver answers
  // with `version`, for at most --handshake-timeout.
  void CallReceiver(uint8_t version) {
    if (Terminal) Err << "z500ctl: calling the receiver: switch it on now\n";
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
      Progress(std::min(blocks.BytesSent, blocks.FirmwareSize), blocks.FirmwareSize);
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

  void Progress(int32_t done, int32_t total) {
    if (!Terminal) return;
    constexpr int width = 30;
    const int filled = static_cast<int>(int64_t{done} * width / total);
    Err << "\r[" << std::string(filled, '#') << std::string(width - filled, '-') << "] "
        << int64_t{done} * 100 / total << "% " << done << "/" << total << " B" << std::flush;
  }

private:
  const TArguments& Options;
  std::ostream& Out;
  std::ostream& Err;
  const bool Terminal;
  TInterruptibleClock Clock;
  Z500::TReceiverSession Link;
};

// The window's rule decides what is accepted; a refusal says what is wrong
// with the text typed (the rule checks its length first, so "abc" and "010"
// would both read as too large).
uint8_t ParameterArgument(const std::string& text, const Z500::TParameterRule& rule, const char* what,
                          const char* unit) {
  if (Z500::CheckParameterText(text, rule) == Z500::TParameterCheck::Accepted) return Z500::ParameterValue(text, rule);
  const std::string range = "; give 0 to " + std::to_string(rule.Limit) + " " + unit;
  const std::string typed = std::string(what) + " '" + text + "'";
  if (!std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
    throw TFailure{xUsage, typed + " is not a whole number" + range};
  const std::string significant = text.substr(std::min(text.find_first_not_of('0'), text.size()));
  if (significant.size() <= 2 && (significant.empty() ? 0 : std::stoi(significant)) <= rule.Limit)
    throw TFailure{xUsage, typed + ": at most two digits, no leading zeros" + range};
  throw TFailure{xUsage, typed + " is above " + std::to_string(rule.Limit) + " " + unit};
}

// The seconds of a time-out option: a number above 0 and at most
// MaxTimeoutSeconds (a deadline further off would not fit the steady clock).
double SecondsArgument(const std::string& text, const char* option) {
  char limit[32];
  std::snprintf(limit, sizeof limit, "%.0f", MaxTimeoutSeconds);
  const std::string range = std::string("; give a value above 0 and at most ") + limit;
  const std::string typed = std::string(option) + ": '" + text + "'";
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || std::isnan(value))
    throw TFailure{xUsage, typed + " is not a number of seconds" + range};
  if (!(value > 0)) throw TFailure{xUsage, typed + " is not above 0 seconds" + range};
  if (!(value <= MaxTimeoutSeconds)) throw TFailure{xUsage, typed + " is above " + limit + " seconds (a year)"};
  return value;
}

// Where no command was recognised, the first word left over that is no
// option is a command that does not exist; empty when there is none.
std::string UnknownCommand(const CLI::App& app) {
  if (!app.get_subcommands().empty()) return {};
  for (const std::string& word : app.remaining())
    if (!word.empty() && word[0] != '-') return "unknown command '" + word + "' (see --help)";
  return {};
}

// Standard output is checked before success is reported: a full disk or a
// broken pipe must not leave a script with nothing written and exit code 0.
int OutputWritten(std::ostream& out, std::ostream& err) {
  errno = 0;
  out.flush();
  if (out) return xOk;
  const int reason = errno;
  err << "z500ctl: standard output could not be written"
      << (reason ? std::string(" (") + std::strerror(reason) + ")" : std::string()) << "\n";
  return xOutput;
}

}  // namespace

const char* ExitCodeTable() {
  return "Exit codes:\n"
         "  0   done\n"
         "  1   internal fault of z500ctl\n"
         "  2   bad arguments (unknown command, value out of range, format without --yes, bad name)\n"
         "  3   the port cannot be opened\n"
         "  4   the receiver did not answer in time\n"
         "  5   the serial line failed, did not take a frame, or echoes what is sent (no receiver)\n"
         "  6   firmware file: no .rxf in its name, unreadable, not a regular file, empty, too large,\n"
         "      or it failed or changed part-way\n"
         "  7   the receiver's hardware version is not the firmware file's, or the file is\n"
         "      named for a version no receiver has (above 255)\n"
         "  8   the receiver answered a firmware block with an error or a wrong address\n"
         "  9   a file to delete is not on the receiver (nothing deleted)\n"
         "  10  the receiver answered, but reads back something else than was asked,\n"
         "      or its directory is malformed or does not end\n"
         "  11  standard output could not be written (a full disk, say)\n"
         "  129 stopped by SIGHUP, 130 by SIGINT (Ctrl-C), 143 by SIGTERM; the port is closed\n";
}

std::string OneLine(const std::string& text) {
  std::string line;
  for (char c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\x%02x", static_cast<unsigned>(static_cast<unsigned char>(c)));
      line += esc;
    } else {
      line += c;
    }
  }
  return line;
}

namespace {

// The command line as CLI11 reads it: the options, the commands, and the
// texts each takes before they are checked.
struct TCommandLine {
  explicit TCommandLine(TArguments& options);
  // Checks the texts taken and fills `options` with their values; throws
  // TFailure (xUsage) at the first that is wrong.
  void Check(TArguments& options) const;
  TCommand Command() const;

  CLI::App App{"z500ctl: the Varnex Z500 receiver's features from the command line", "z500ctl"};
  std::string Interval, Cutoff, Timeout = "5", HandshakeTimeout = "60";
  std::vector<std::string> Names;
  bool Yes = false;
  CLI::App *Params, *Set, *Files, *Delete, *Format, *Upgrade, *Sound, *ResetBaud;
};

TCommandLine::TCommandLine(TArguments& options) {
  App.set_help_all_flag("--help-all", "Every command's options");
  App.add_option("--port", options.Port, "COMn through the port map (QUARLCOMM_PORTS), or a device path")
      ->capture_default_str();
  App.add_option("--timeout", Timeout, "Seconds to wait for an answer, where no fixed limit applies")
      ->type_name("FLOAT")
      ->capture_default_str();
  App.require_subcommand(1);
  App.footer(std::string("Names: printed with bytes outside printable ASCII as \\xNN and '\\' as \\\\;\n"
                         "delete takes them back as printed.\n\n") +
             ExitCodeTable());

  Params = App.add_subcommand("params", "Print the sampling interval (s) and the cut-off angle (degrees); 'params set' sets them");
  Set = Params->add_subcommand("set", "Set them: INTERVAL 0-60, ANGLE 0-89 (empty: 5 and 12)");
  Set->add_option("INTERVAL", Interval)->required();
  Set->add_option("ANGLE", Cutoff)->required();
  Files = App.add_subcommand("files", "List every file on the receiver: number, name, size, created");
  Files->add_flag("--json", options.Json, "A JSON array, with the raw name and extension bytes in hex");
  Delete = App.add_subcommand("delete", "Delete the files named as 'files' prints them");
  Delete->add_option("NAME", Names)->required();
  Format = App.add_subcommand("format", "Format the flash: deletes every file (waits up to 60 s)");
  Format->add_flag("--yes", Yes, "Required: yes, delete every file");
  Upgrade = App.add_subcommand("upgrade", "Load firmware FILE (named like *.088.rxf) into the receiver");
  Upgrade->add_option("FILE", options.Firmware)->required();
  Upgrade->add_option("--handshake-timeout", HandshakeTimeout,
                      "Seconds to call the receiver until it answers (switch it on meanwhile)")
      ->type_name("FLOAT")
      ->capture_default_str();
  Sound = App.add_subcommand("sound", "Switch the receiver's sound output on");
  ResetBaud = App.add_subcommand("reset-baud", "Reset the receiver's serial port to its default (waits up to 15 s)");
  App.add_subcommand("unlog", "Stop the receiver's periodic output on its port com1");
}

void TCommandLine::Check(TArguments& options) const {
  options.Timeout = SecondsArgument(Timeout, "--timeout");
  options.HandshakeTimeout = SecondsArgument(HandshakeTimeout, "--handshake-timeout");
  for (const auto& text : Names) {
    const auto name = DeleteArgument(text);
    if (!name) throw TFailure{xUsage, "'" + text + "' is not a file name as 'files' prints it"};
    if (std::find(options.Names.begin(), options.Names.end(), *name) == options.Names.end())
      options.Names.push_back(*name);
  }
  if (*Set) {
    options.Interval = ParameterArgument(Interval, Z500::IntervalRule, "interval", "seconds");
    options.Cutoff = ParameterArgument(Cutoff, Z500::CutoffRule, "cut-off angle", "degrees");
  }
  if (*Format && !Yes) throw TFailure{xUsage, "format deletes every file on the receiver: add --yes"};
}

TCommand TCommandLine::Command() const {
  return *Set         ? TCommand::ParamsSet
         : *Params    ? TCommand::Params
         : *Files     ? TCommand::Files
         : *Delete    ? TCommand::Delete
         : *Format    ? TCommand::Format
         : *Upgrade   ? TCommand::Upgrade
         : *Sound     ? TCommand::Sound
         : *ResetBaud ? TCommand::ResetBaud
                      : TCommand::Unlog;
}

}  // namespace

std::variant<TArguments, int> ParseArguments(int argc, const char* const* argv, std::ostream& out,
                                             std::ostream& err) {
  TArguments options;
  TCommandLine line(options);
  try {
    line.App.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return line.App.exit(e, out, err);
    const std::string unknown = UnknownCommand(line.App);
    err << "z500ctl: " << OneLine(unknown.empty() ? e.what() + std::string(" (see --help)") : unknown) << "\n";
    return xUsage;
  }
  try {
    line.Check(options);
  } catch (const TFailure& f) {
    err << "z500ctl: " << OneLine(f.Message) << "\n";
    return f.Code;
  }
  options.Command = line.Command();
  return options;
}

int Run(int argc, const char* const* argv, std::ostream& out, std::ostream& err, bool terminal,
        TInterrupt* interrupt) {
  auto parsed = ParseArguments(argc, argv, out, err);
  if (const int* code = std::get_if<int>(&parsed)) return *code == xOk ? OutputWritten(out, err) : *code;
  const TArguments& options = std::get<TArguments>(parsed);
  TInterrupt never;
  try {
    TSession session(options, out, err, terminal, interrupt ? *interrupt : never);
    switch (options.Command) {
      case TCommand::Upgrade: session.Upgrade(); return OutputWritten(out, err);  // checks the file before it opens the port
      case TCommand::ParamsSet: session.Open(); session.ParamsSet(options.Interval, options.Cutoff); break;
      case TCommand::Params: session.Open(); session.Params(); break;
      case TCommand::Files: session.Open(); session.Files(); break;
      case TCommand::Delete: session.Open(); session.Delete(options.Names); break;
      case TCommand::Format: session.Open(); session.Format(); break;
      case TCommand::Sound: session.Open(); session.SendOnly(Z500::SoundCommand(), "sent the sound command"); break;
      case TCommand::ResetBaud: session.Open(); session.ResetBaud(); break;
      case TCommand::Unlog: session.Open(); session.SendOnly(Z500::UnlogCommand(), "sent the unlog command"); break;
    }
    return OutputWritten(out, err);
  } catch (const TFailure& f) {
    err << "z500ctl: " << OneLine(f.Message) << "\n";
    return f.Code;
  } catch (const TInterrupted& i) {  // the session has gone, and the port with it
    const char* name = ::sigabbrev_np(i.Signal);
    err << "z500ctl: stopped by SIG" << (name ? name : std::to_string(i.Signal).c_str()) << "; the port is closed\n";
    return xSignal + i.Signal;
  } catch (const std::exception& e) {
    err << "z500ctl: internal fault: " << OneLine(e.what()) << "\n";
    return xInternal;
  }
}

}  // namespace Z500Ctl
