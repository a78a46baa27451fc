// z500ctl's Run: the arguments, the line trace, and the command on one
// receiver, on several at once, or a scan or port listing.
#include "Z500Ctl.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Console.h"
#include "Json.h"
#include "Link.h"
#include "PortsCommand.h"
#include "Report.h"
#include "Scan.h"
#include "Several.h"

namespace Z500Ctl {

int OutputWritten(std::ostream& out, std::ostream& err) {
  errno = 0;
  out.flush();
  if (out) return xOk;
  const int reason = errno;
  err << "z500ctl: standard output could not be written"
      << (reason ? std::string(" (") + std::strerror(reason) + ")" : std::string()) << "\n";
  return xOutput;
}

namespace {

// The trace's one report of a file it cannot write, kept until the main
// thread prints it: the trace may find it on its own thread, while a link
// writes on the error stream.
class TTraceReport {
public:
  void Keep(const std::string& line) {
    std::lock_guard lock(Lock);
    if (Line.empty()) Line = line;
  }
  void PrintOnce(std::ostream& err) {
    std::lock_guard lock(Lock);
    if (Line.empty() || Printed) return;
    err << "z500ctl: " << OneLine(Line) << "\n";
    Printed = true;
  }

private:
  std::mutex Lock;
  std::string Line;  // Lock
  bool Printed = false;
};

// One receiver, as z500ctl has always printed it: text, `files --json` as
// the list of files, and any other --json as an array of one port's object.
int RunOnOne(const TArguments& options, std::ostream& out, std::ostream& err, bool terminal, TInterrupt& process,
             Z500::TLineTrace* trace) {
  TBarProgress bar(err);
  const TOutcome outcome = RunOnPort(options, options.Port, {process, trace, terminal ? &bar : nullptr});
  if (!options.Json)
    PrintResult(outcome.Result, out, err, "z500ctl: ");
  else if (options.Command == TCommand::Files && outcome.Result.Files)
    PrintFilesJson(out, *outcome.Result.Files);
  else if (options.Command != TCommand::Files)
    PrintJsonArray(out, {PortJson(options.Port, outcome)});
  if (outcome.Code == xOk) return OutputWritten(out, err);
  err << "z500ctl: " << outcome.Error << "\n";
  return outcome.Code;
}

int RunCommand(const TArguments& options, std::ostream& out, std::ostream& err, bool terminal, TInterrupt& process,
               Z500::TLineTrace* trace) {
  if (options.Command == TCommand::Ports) {
    const int code = PortsCommand(out, err, options.Json);
    return code == xOk ? OutputWritten(out, err) : code;
  }
  if (options.Command == TCommand::Scan)
    return WorstExitCode(ScanCommand(options, out, err, process, trace), OutputWritten(out, err));
  if (!options.Several()) return RunOnOne(options, out, err, terminal, process, trace);
  const std::vector<std::string> ports =
      options.AllFound ? FoundReceivers(options, err, process, trace) : options.Ports;
  TConsole console(out, err, terminal);
  const int worst = RunOnSeveral(options, ports, console, out, process, trace);
  return WorstExitCode(worst, OutputWritten(out, err));
}

}  // namespace

int Run(int argc, const char* const* argv, std::ostream& out, std::ostream& err, bool terminal,
        TInterrupt* interrupt) {
  auto parsed = ParseArguments(argc, argv, out, err);
  if (const int* code = std::get_if<int>(&parsed)) return *code == xOk ? OutputWritten(out, err) : *code;
  const TArguments& options = std::get<TArguments>(parsed);
  TInterrupt never;
  TTraceReport traceReport;
  int code = xInternal;
  try {
    std::unique_ptr<Z500::TLineTrace> trace;
    if (!options.Trace.empty())
      trace = std::make_unique<Z500::TLineTrace>(options.Trace,
                                                 [&](const std::string& line) { traceReport.Keep(line); });
    traceReport.PrintOnce(err);  // a file that will not open is said before the work
    code = RunCommand(options, out, err, terminal, interrupt ? *interrupt : never, trace.get());
  } catch (const TFailure& f) {
    err << "z500ctl: " << OneLine(f.Message) << "\n";
    code = f.Code;
  } catch (const TInterrupted& i) {  // every link has gone, and its port with it
    const char* name = ::sigabbrev_np(i.Signal);
    err << "z500ctl: stopped by SIG" << (name ? name : std::to_string(i.Signal).c_str()) << "; the port is closed\n";
    code = xSignal + i.Signal;
  } catch (const std::exception& e) {
    err << "z500ctl: internal fault: " << OneLine(e.what()) << "\n";
    code = xInternal;
  }
  traceReport.PrintOnce(err);  // one the trace found as it wrote
  return code;
}

}  // namespace Z500Ctl
