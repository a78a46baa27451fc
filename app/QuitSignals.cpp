#include "QuitSignals.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QWidget>

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace Z500 {
namespace {

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};
constexpr int kSignalCount = sizeof kSignals / sizeof kSignals[0];

// Where the handler writes: the socket pair of the one live TQuitSignals.
std::atomic<int> HandlerFd{-1};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void OnQuitSignal(int signal) {
  const int saved = errno;
  const unsigned char number = static_cast<unsigned char>(signal);
  const int fd = HandlerFd.load(std::memory_order_acquire);
  if (fd >= 0) (void)!::write(fd, &number, 1);
  errno = saved;
}

}  // namespace

struct TQuitSignals::TPrevious {
  struct sigaction Action[kSignalCount];
  bool Taken[kSignalCount] = {};
};

TQuitSignals::TQuitSignals(std::function<void(int)> quit, QObject* parent)
    : QObject(parent), Quit(std::move(quit)), Previous(std::make_unique<TPrevious>()) {
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, Pair) != 0) return;
  Notifier = new QSocketNotifier(Pair[0], QSocketNotifier::Read, this);
  connect(Notifier, &QSocketNotifier::activated, this, [this] { Arrived(); });
  HandlerFd.store(Pair[1], std::memory_order_release);
  for (int i = 0; i < kSignalCount; ++i) {
    struct sigaction& before = Previous->Action[i];
    if (::sigaction(kSignals[i], nullptr, &before) != 0 || before.sa_handler == SIG_IGN) continue;
    struct sigaction now {};
    now.sa_handler = OnQuitSignal;
    sigemptyset(&now.sa_mask);
    now.sa_flags = SA_RESTART;
    Previous->Taken[i] = ::sigaction(kSignals[i], &now, nullptr) == 0;
  }
}

TQuitSignals::~TQuitSignals() {
  for (int i = 0; i < kSignalCount; ++i)
    if (Previous->Taken[i]) ::sigaction(kSignals[i], &Previous->Action[i], nullptr);
  HandlerFd.store(-1, std::memory_order_release);
  delete Notifier;
  for (const int fd : Pair)
    if (fd >= 0) ::close(fd);
}

void TQuitSignals::Arrived() {
  unsigned char number = 0;
  while (::read(Pair[0], &number, 1) == 1)
    if (Quit) Quit(number);
}

void QuitWindow(QWidget& window) {
  window.close();
  QCoreApplication::exit(0);
}

}  // namespace Z500
