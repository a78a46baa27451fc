// The process's two streams, shared by links that run at once: each line
// goes out whole, one at a time, and on a terminal an upgrade's progress
// board (one line per receiver, redrawn in place) stays below them.
#pragma once

#include <mutex>
#include <ostream>
#include <streambuf>
#include <string>
#include <vector>

namespace Z500Ctl {

class TConsole {
public:
  // `terminal`: the error stream is a terminal that takes ANSI cursor moves.
  TConsole(std::ostream& out, std::ostream& err, bool terminal) : Out(out), Err(err), IsTerminal(terminal) {}

  // Writes `line` and a newline on the output or the error stream.
  void Line(bool error, const std::string& line);

  // Shows `lines` as the board below everything written (terminal only).
  void StartBoard(std::vector<std::string> lines);
  // Replaces line `index` of the board and redraws it in place.
  void SetBoardLine(size_t index, std::string line);
  // Leaves the board as it stands; lines go below it from now on.
  void EndBoard();
  bool Terminal() const { return IsTerminal; }

private:
  void EraseBoard();  // Lock
  void DrawBoard();   // Lock

  std::mutex Lock;
  std::ostream& Out;
  std::ostream& Err;
  const bool IsTerminal;
  std::vector<std::string> Board;  // Lock
  bool BoardShown = false;         // Lock
};

// A stream for one link's lines: each whole line goes to the console with
// `prefix` before it; a last line without a newline goes when the stream
// ends.
class TLineStream : public std::ostream {
public:
  TLineStream(TConsole& console, bool error, std::string prefix);
  ~TLineStream() override;

private:
  class TBuffer : public std::streambuf {
  public:
    TBuffer(TConsole& console, bool error, std::string prefix)
        : Console(console), Error(error), Prefix(std::move(prefix)) {}
    void Flush();

  protected:
    int overflow(int c) override;

  private:
    TConsole& Console;
    const bool Error;
    const std::string Prefix;
    std::string Pending;
  };
  TBuffer Buffer;
};

}  // namespace Z500Ctl
