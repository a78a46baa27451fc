#include "Console.h"

namespace Z500Ctl {

void TConsole::Line(bool error, const std::string& line) {
  std::lock_guard lock(Lock);
  EraseBoard();
  if (error) Out.flush();  // what went before on the other stream comes first on a shared terminal
  (error ? Err : Out) << line << "\n";
  (error ? Err : Out).flush();
  DrawBoard();
}

void TConsole::StartBoard(std::vector<std::string> lines) {
  if (!IsTerminal) return;
  std::lock_guard lock(Lock);
  Board = std::move(lines);
  Out.flush();
  DrawBoard();
}

void TConsole::SetBoardLine(size_t index, std::string line) {
  std::lock_guard lock(Lock);
  if (!BoardShown || index >= Board.size() || Board[index] == line) return;
  Board[index] = std::move(line);
  // In place: up to the board's first line, each line erased and written.
  Err << "\x1b[" << Board.size() << "A";
  for (const auto& l : Board) Err << "\r\x1b[2K" << l << "\n";
  Err.flush();
}

void TConsole::EndBoard() {
  std::lock_guard lock(Lock);
  BoardShown = false;
  Board.clear();
}

// The cursor is below the board: up to its first line, and everything below cleared.
void TConsole::EraseBoard() {
  if (BoardShown) Err << "\x1b[" << Board.size() << "A\r\x1b[J";
}

void TConsole::DrawBoard() {
  if (Board.empty()) return;
  for (const auto& l : Board) Err << l << "\n";
  Err.flush();
  BoardShown = true;
}

TLineStream::TLineStream(TConsole& console, bool error, std::string prefix)
    : std::ostream(nullptr), Buffer(console, error, std::move(prefix)) {
  rdbuf(&Buffer);
}

TLineStream::~TLineStream() { Buffer.Flush(); }

void TLineStream::TBuffer::Flush() {
  if (!Pending.empty()) Console.Line(Error, Prefix + Pending);
  Pending.clear();
}

int TLineStream::TBuffer::overflow(int c) {
  if (c == traits_type::eof()) return traits_type::not_eof(c);
  if (c == '\n') {
    Console.Line(Error, Prefix + Pending);
    Pending.clear();
  } else {
    Pending += static_cast<char>(c);
  }
  return c;
}

}  // namespace Z500Ctl
