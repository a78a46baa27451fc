// z500ctl's command line: the options and commands CLI11 reads, the checks
// of what was typed, and the exit-code table --help shows.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "Link.h"
#include "NameText.h"
#include "ParameterRules.h"
#include "PortMap.h"
#include "Z500Ctl.h"

namespace Z500Ctl {

namespace {

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
         "  129 stopped by SIGHUP, 130 by SIGINT (Ctrl-C), 143 by SIGTERM; the port is closed\n"
         "Several receivers (--port more than once, or all-found): the worst of their codes,\n"
         "that is a signal's code when one stopped them, else the highest code of any of them;\n"
         "all-found where no receiver answers: 4. scan: 0 whatever it finds.\n";
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
  std::vector<std::string> Names, Ports;
  bool Yes = false;
  CLI::App *Params, *Set, *Files, *Delete, *Format, *Upgrade, *Sound, *ResetBaud, *Unlog, *Scan, *PortList;
  CLI::Option* TimeoutOption;
  std::vector<CLI::Option*> JsonFlags;  // the global --json and each command's

private:
  void AddOptions(TArguments& options);
  void AddCommands(TArguments& options);
  void CheckPorts(TArguments& options) const;
};

TCommandLine::TCommandLine(TArguments& options) {
  AddOptions(options);
  AddCommands(options);
  for (CLI::App* command : {Params, Set, Format, Upgrade, Sound, ResetBaud, Unlog, Scan, PortList})
    JsonFlags.push_back(command->add_flag("--json")->description("Print JSON: one object per port, in an array"));
}

void TCommandLine::AddOptions(TArguments& options) {
  App.set_help_all_flag("--help-all", "Every command's options");
  App.set_version_flag("--version", "z500ctl " QUARL_VERSION);
  App.add_option("--port", Ports,
                 "COMn through the port map (QUARLCOMM_PORTS), or a device path; again for several receivers "
                 "at once; 'all-found': every port where a scan finds a receiver")
      ->allow_extra_args(false)
      ->default_str("COM1");
  TimeoutOption = App.add_option("--timeout", Timeout,
                                 "Seconds to wait for an answer, where no fixed limit applies (scan: 2)")
                      ->type_name("FLOAT")
                      ->capture_default_str();
  JsonFlags.push_back(App.add_flag("--json")->description(
      "Print JSON: one object per port, in an array (files on one port: the list of files)"));
  App.add_option("--trace", options.Trace, "Write every frame both ways to FILE, for support")->type_name("FILE");
  App.require_subcommand(1);
  App.footer(std::string("Names: printed with bytes outside printable ASCII as \\xNN and '\\' as \\\\;\n"
                         "delete takes them back as printed.\n\n") +
             ExitCodeTable());
}

void TCommandLine::AddCommands(TArguments& options) {
  Params = App.add_subcommand("params", "Print the sampling interval (s) and the cut-off angle (degrees); 'params set' sets them");
  Set = Params->add_subcommand("set", "Set them: INTERVAL 0-60, ANGLE 0-89 (empty: 5 and 12)");
  Set->add_option("INTERVAL", Interval)->required();
  Set->add_option("ANGLE", Cutoff)->required();
  Files = App.add_subcommand("files", "List every file on the receiver: number, name, size, created");
  Files->add_flag("--json", options.Json, "A JSON array, with the raw name and extension bytes in hex");
  Delete = App.add_subcommand("delete", "Delete the files named as 'files' prints them (one receiver only)");
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
  Unlog = App.add_subcommand("unlog", "Stop the receiver's periodic output on its port com1");
  Scan = App.add_subcommand("scan", "Ask every port (or each --port) at once which has a receiver; changes nothing");
  PortList = App.add_subcommand("ports", "List the serial ports: COM name, device, USB ids, driver, whether it opens");
}

// The ports named, each once ("COM3" and "com03" are one), in order.
void TCommandLine::CheckPorts(TArguments& options) const {
  std::vector<std::string> seen;
  for (const auto& port : Ports) {
    if (port == "all-found") {
      options.AllFound = true;
      continue;
    }
    const int number = QuarlComm32::ComNumberOf(port);
    const std::string key = number > 0 ? QuarlComm32::ComName(number) : port;
    if (std::find(seen.begin(), seen.end(), key) != seen.end()) continue;
    seen.push_back(key);
    options.Ports.push_back(port);
  }
  options.PortsGiven = !options.Ports.empty();
  if (options.Ports.empty()) options.Ports.push_back(options.Port);
  options.Port = options.Ports.front();
  if (options.Command == TCommand::Delete && options.Several())
    throw TFailure{xUsage, "delete works on one receiver at a time (the names are that receiver's files): "
                           "give one --port"};
}

void TCommandLine::Check(TArguments& options) const {
  options.Timeout = SecondsArgument(Timeout, "--timeout");
  options.TimeoutGiven = TimeoutOption->count() > 0;
  options.HandshakeTimeout = SecondsArgument(HandshakeTimeout, "--handshake-timeout");
  options.Json = options.Json || std::any_of(JsonFlags.begin(), JsonFlags.end(), [](auto* o) { return o->count() > 0; });
  CheckPorts(options);
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
         : *Scan      ? TCommand::Scan
         : *PortList  ? TCommand::Ports
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
  options.Command = line.Command();
  try {
    line.Check(options);
  } catch (const TFailure& f) {
    err << "z500ctl: " << OneLine(f.Message) << "\n";
    return f.Code;
  }
  return options;
}

}  // namespace Z500Ctl
