// What z500ctl prints of a receiver's run as text: the result lines, and
// the upgrade's progress, as a bar for one receiver or a line of the board
// for several.
#pragma once

#include <ostream>
#include <string>

#include "Console.h"
#include "Link.h"

namespace Z500Ctl {

// Prints `result` on `out` (on `err`, with `errLead` before it, that there
// are no files).
void PrintResult(const TResult& result, std::ostream& out, std::ostream& err, const std::string& errLead);

// One receiver's upgrade on a terminal: the prompt to switch it on, then a
// bar redrawn on its line.
class TBarProgress : public IProgress {
public:
  explicit TBarProgress(std::ostream& err) : Err(err) {}
  void Calling() override;
  void Sent(int32_t done, int32_t total) override;
  void Ended() override;

private:
  std::ostream& Err;
  bool Drawn = false;
};

// One receiver's line of the console's board: "COM3: [####------] 40% ...".
class TBoardProgress : public IProgress {
public:
  TBoardProgress(TConsole& console, size_t index, std::string port)
      : Console(console), Index(index), Port(std::move(port)) {}
  void Calling() override;
  void Sent(int32_t done, int32_t total) override;
  void Ended() override {}

private:
  TConsole& Console;
  const size_t Index;
  const std::string Port;
};

// The bar: "[######------] 50%".
std::string ProgressBar(int32_t done, int32_t total);

}  // namespace Z500Ctl
