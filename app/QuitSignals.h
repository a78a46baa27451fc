// The program asked to quit by a signal (SIGTERM at the end of a session,
// SIGINT from a terminal's Ctrl-C, SIGHUP when the terminal goes): the
// window closes as its close box would close it, which closes the link.
#pragma once

#include <QObject>

#include <functional>
#include <memory>

class QSocketNotifier;
class QWidget;

namespace Z500 {

// Takes SIGTERM, SIGINT and SIGHUP (those not ignored at start) for as long
// as it lives and calls `quit` with the signal's number on the thread that
// made it, from its event loop. The handler only writes the number into a
// socket pair, whose other end a QSocketNotifier watches. One at a time.
class TQuitSignals : public QObject {
public:
  explicit TQuitSignals(std::function<void(int)> quit, QObject* parent = nullptr);
  ~TQuitSignals() override;
  TQuitSignals(const TQuitSignals&) = delete;
  TQuitSignals& operator=(const TQuitSignals&) = delete;

private:
  void Arrived();

  std::function<void(int)> Quit;
  int Pair[2] = {-1, -1};  // [0] read here, [1] written by the handler
  QSocketNotifier* Notifier = nullptr;
  struct TPrevious;
  std::unique_ptr<TPrevious> Previous;  // the handlers to give back
};

// What the program does on such a signal: closes `window` as its close box
// does (ending the work on the link and closing the port), then ends every
// event loop, a box's included.
void QuitWindow(QWidget& window);

}  // namespace Z500
