#include "Several.h"

#include <memory>
#include <thread>

#include "Json.h"
#include "Link.h"
#include "Report.h"

namespace Z500Ctl {

namespace {

// A receiver's lines as it ends: its line of the board, its result with the
// port before each line, and its failure.
void PrintOutcome(TConsole& console, const std::string& port, const TOutcome& outcome, bool json, size_t index) {
  console.SetBoardLine(index, port + ": " + (outcome.Code == xOk ? "done" : "failed (exit " +
                                                                             std::to_string(outcome.Code) + ")"));
  const std::string errLead = "z500ctl: " + port + ": ";
  if (!json) {
    TLineStream out(console, false, port + ": "), err(console, true, "");
    PrintResult(outcome.Result, out, err, errLead);
  }
  if (outcome.Code != xOk) console.Line(true, errLead + outcome.Error);
}

// The upgrade's board on a terminal, one line per receiver, and its
// progress sinks; none elsewhere.
std::vector<std::unique_ptr<TBoardProgress>> StartBoard(const TArguments& options,
                                                        const std::vector<std::string>& ports, TConsole& console) {
  std::vector<std::unique_ptr<TBoardProgress>> progress;
  if (options.Command != TCommand::Upgrade || !console.Terminal()) return progress;
  console.Line(true, "z500ctl: calling the receivers: switch them on now");
  std::vector<std::string> lines;
  for (size_t i = 0; i < ports.size(); ++i) {
    lines.push_back(ports[i] + ": opening");
    progress.push_back(std::make_unique<TBoardProgress>(console, i, ports[i]));
  }
  console.StartBoard(std::move(lines));
  return progress;
}

}  // namespace

int WorstExitCode(int a, int b) {
  if (a >= xSignal) return a;
  if (b >= xSignal) return b;
  return std::max(a, b);
}

int RunOnSeveral(const TArguments& options, const std::vector<std::string>& ports, TConsole& console,
                 std::ostream& out, TInterrupt& process, Z500::TLineTrace* trace) {
  if (options.Command == TCommand::Upgrade) CheckFirmware(options);
  std::vector<TOutcome> outcomes(ports.size());
  const auto progress = StartBoard(options, ports, console);
  {
    std::vector<std::jthread> links;  // joined here
    for (size_t i = 0; i < ports.size(); ++i)
      links.emplace_back([&, i] {
        const TLinkContext context{process, trace, progress.empty() ? nullptr : progress[i].get()};
        outcomes[i] = RunOnPort(options, ports[i], context);
        PrintOutcome(console, ports[i], outcomes[i], options.Json, i);
      });
  }
  console.EndBoard();
  int worst = xOk;
  std::vector<std::string> objects;
  for (size_t i = 0; i < ports.size(); ++i) {
    worst = WorstExitCode(worst, outcomes[i].Code);
    objects.push_back(PortJson(ports[i], outcomes[i]));
  }
  if (options.Json) PrintJsonArray(out, objects);
  return worst;
}

}  // namespace Z500Ctl
