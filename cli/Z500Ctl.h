// z500ctl: the receiver's features from the command line. Run() is the whole
// program: it parses the arguments, talks to one receiver or to several at
// once, and returns the exit code; main() only hands it the process's streams.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <variant>
#include <vector>

#include "DirectoryEntries.h"
#include "NameText.h"
#include "Interrupt.h"

namespace Z500Ctl {

// Every way the program can end. Each failure prints one line on the error
// stream and returns its own code.
enum TExitCode : int {
  xOk = 0,
  xInternal = 1,   // an unexpected fault of the program itself
  xUsage = 2,      // bad arguments, values out of range, format without --yes
  xPort = 3,       // the port cannot be opened
  xTimeout = 4,    // the receiver did not answer in time
  xLine = 5,       // the serial line failed or did not take a frame
  xFile = 6,       // the firmware file: no .rxf, unreadable, empty, read error
  xVersion = 7,    // the receiver's hardware version is not the file's, or no receiver's
  xRefused = 8,    // the receiver answered a block with an error or wrong address
  xNotFound = 9,   // a file to delete is not on the receiver
  xNotDone = 10,   // the receiver answered, but not what was asked, or a directory that makes no sense
  xOutput = 11,    // the standard output could not be written (a full disk, say)
  xSignal = 128,   // + the signal's number: stopped by SIGHUP (129), SIGINT (130), SIGTERM (143)
};

// The exit code of a run on several receivers: a signal's code when one
// stopped them, else the highest code of any receiver (0 when all are done).
int WorstExitCode(int a, int b);

// The exit-code table as --help shows it.
const char* ExitCodeTable();

enum class TCommand { Params, ParamsSet, Files, Delete, Format, Upgrade, Sound, ResetBaud, Unlog, Scan, Ports };

// What scan waits for an answer when no --timeout is given, in seconds.
inline constexpr double ScanTimeoutSeconds = 2;

// The arguments as understood and checked, before anything is opened.
struct TArguments {
  TCommand Command = TCommand::Params;
  std::string Port = "COM1";          // the first port named
  std::vector<std::string> Ports;     // every port named, each once, in order; {Port} when none is
  bool PortsGiven = false;            // --port named at least one port (all-found aside)
  bool AllFound = false;              // --port all-found: the ports where a scan finds a receiver
  double Timeout = 5;                 // seconds, > 0 and at most MaxTimeoutSeconds
  bool TimeoutGiven = false;          // --timeout was given (scan's own default applies otherwise)
  bool Json = false;                  // --json, or the command's --json
  std::string Trace;                  // --trace FILE; empty: none
  std::vector<TNameArgument> Names;   // delete: each argument once, in order
  uint8_t Interval = 0, Cutoff = 0;   // params set: within their rules
  std::string Firmware;               // upgrade FILE
  double HandshakeTimeout = 60;       // seconds, as Timeout

  // The command runs on several receivers at once, one link each.
  bool Several() const { return AllFound || Ports.size() > 1; }
  // How long scan (and all-found's scan) waits for an answer.
  double ScanTimeout() const { return TimeoutGiven ? Timeout : ScanTimeoutSeconds; }
};

// The longest wait an option may ask for (a year): far beyond any use, and
// well within what a deadline on the steady clock can hold.
inline constexpr double MaxTimeoutSeconds = 365.0 * 24 * 3600;

// Parses `argv` (argv[0] the program name). Returns the arguments, or the
// exit code to end with: 0 when help was printed on `out`, xUsage after one
// line on `err`.
std::variant<TArguments, int> ParseArguments(int argc, const char* const* argv, std::ostream& out,
                                             std::ostream& err);

// Flushes `out`; xOk when everything written got out, else xOutput after a
// line on `err`. Standard output is checked before success is reported: a
// full disk or a broken pipe must not leave a script with nothing written
// and exit code 0.
int OutputWritten(std::ostream& out, std::ostream& err);

// One line for the error stream: control characters (a newline in an
// argument, say) shown as \xNN.
std::string OneLine(const std::string& text);

// Runs z500ctl with `argv` (argv[0] the program name). `terminal`: the error
// stream is a terminal, so the upgrade shows its progress bar there.
// `interrupt` (when given), once raised, ends the work under way: the port
// is closed and the result is xSignal + the signal's number.
int Run(int argc, const char* const* argv, std::ostream& out, std::ostream& err, bool terminal,
        TInterrupt* interrupt = nullptr);

}  // namespace Z500Ctl
