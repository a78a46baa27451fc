// The running window, offscreen, against the simulated receiver in this
// process:
//   - wake-ups per second of the window's threads with the link closed and
//     with it open on a quiet line, against QSerialPort holding the same
//     kind of pty in an idle event loop;
//   - a 64 KiB firmware upgrade through the simulator paced both ways at
//     19200 baud, against the limit of the protocol: per 128 bytes one
//     137-byte block frame and one 10-byte answer on the line plus one
//     50 ms package interval.
//
//   window_bench [wakeups|upgrade]   (BENCH_IDLE_SECONDS, default 5;
//                                     BENCH_UPGRADE_KIB, default 64)
#include <dirent.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <fstream>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "BenchPty.h"
#include "BenchUtil.h"
#include "Clock.h"
#include "MainWindow.h"
#include "PortMap.h"
#include "Prompts.h"
#include "Simulator.h"

using namespace bench;

namespace {

// Boxes answered at once; the last message is kept.
class AutoPrompts : public Z500::IPrompts {
public:
  void Message(QWidget*, const QString& text) override { Last = text; }
  bool Confirm(QWidget*, const QString&) override { return true; }
  void Error(QWidget*, const QString& text) override { Last = text; }
  QString OpenFile(QWidget*, const QString&) override { return {}; }
  QString Last;
};

std::set<int> Tasks() {
  std::set<int> ids;
  if (DIR* d = ::opendir("/proc/self/task")) {
    while (const dirent* e = ::readdir(d))
      if (e->d_name[0] != '.') ids.insert(std::atoi(e->d_name));
    ::closedir(d);
  }
  return ids;
}

// Context switches (voluntary and not) of the process's threads, leaving
// out `others`: each sleep that ends is one.
uint64_t Switches(const std::set<int>& others) {
  uint64_t n = 0;
  for (int id : Tasks()) {
    if (others.count(id)) continue;
    std::ifstream status("/proc/self/task/" + std::to_string(id) + "/status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0 || line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
        n += std::strtoull(line.substr(line.find(':') + 1).c_str(), nullptr, 10);
    }
  }
  return n;
}

// Runs the event loop for `seconds` and returns the wake-ups per second of
// the process's threads but `others`, without the one that ends the loop.
double WakeupsPerSecond(int seconds, const std::set<int>& others) {
  QCoreApplication::processEvents();
  QEventLoop settle;  // let the open's pauses and replies pass first
  QTimer::singleShot(500, &settle, &QEventLoop::quit);
  settle.exec();
  const uint64_t before = Switches(others);
  QEventLoop loop;
  QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
  loop.exec();
  const uint64_t n = Switches(others) - before;
  return static_cast<double>(n > 0 ? n - 1 : 0) / seconds;
}

struct Receiver {
  explicit Receiver(z500sim::Options options) {
    z500sim::Pty pty = z500sim::OpenPty();
    Path = pty.slavePath;
    const std::set<int> before = Tasks();
    Sim = std::make_unique<z500sim::Simulator>(std::move(pty.master), options);
    Sim->Start();
    for (int id : Tasks())
      if (!before.count(id)) Threads.insert(id);
  }
  ~Receiver() { Sim->Stop(); }
  std::string Path;
  std::unique_ptr<z500sim::Simulator> Sim;
  std::set<int> Threads;  // the simulator's, not counted as the window's
};

std::unique_ptr<TForm1> Window(const std::string& path, std::shared_ptr<AutoPrompts> prompts) {
  auto ports = std::make_shared<QuarlComm32::TFixedPortMap>(std::vector<QuarlComm32::TPortEntry>{{1, path}});
  return std::make_unique<TForm1>(TForm1::TServices{prompts, std::make_shared<Z500::TSteadyClock>(), ports});
}

void Wakeups(int seconds) {
  z500sim::Options options;
  options.unlogged = true;
  Receiver receiver(options);
  auto prompts = std::make_shared<AutoPrompts>();
  double closed, open, qt;
  {
    auto form = Window(receiver.Path, prompts);
    closed = WakeupsPerSecond(seconds, receiver.Threads);
    form->Button1->click();
    if (!form->VellCommDevice1->fGetActive()) {
      std::printf("the window could not open the simulator's port\n");
      return;
    }
    open = WakeupsPerSecond(seconds, receiver.Threads);
  }
  {
    Pty pty;
    QSerialPort port;
    port.setPortName(QString::fromStdString(pty.path));
    if (!port.open(QIODevice::ReadWrite)) std::printf("QSerialPort: %s\n", port.errorString().toLocal8Bit().constData());
    qt = WakeupsPerSecond(seconds, receiver.Threads);
  }
  std::printf("wake-ups per second, %d s each, line quiet\n", seconds);
  std::printf("  %-44s %8.1f\n", "window, link closed", closed);
  std::printf("  %-44s %8.1f\n", "window, link open (engine's 200 ms tick: 5)", open);
  std::printf("  %-44s %8.1f\n", "QSerialPort holding a pty, idle event loop", qt);
}

std::vector<uint8_t> Image(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + (i >> 8));
  return v;
}

void Upgrade(size_t kib) {
  // The receiver answers at once: the limit counts the line and the
  // package interval only.
  z500sim::Options options;
  options.unlogged = true;
  options.baud = 19200;
  options.replyDelayMs = 0;
  Receiver receiver(options);
  auto prompts = std::make_shared<AutoPrompts>();
  auto form = Window(receiver.Path, prompts);
  form->Button1->click();
  if (!form->VellCommDevice1->fGetActive()) {
    std::printf("the window could not open the simulator's port\n");
    return;
  }
  QTemporaryDir dir;
  const QString file = dir.path() + "/Z500.088.rxf";
  const std::vector<uint8_t> image = Image(kib * 1024);
  {
    QFile f(file);
    f.open(QIODevice::WriteOnly);
    f.write(reinterpret_cast<const char*>(image.data()), static_cast<qint64>(image.size()));
  }
  std::optional<Clock::time_point> first;
  QObject::connect(form->ProgressBar1, &QProgressBar::valueChanged, [&] {
    if (!first) first = Clock::now();  // the first block frame is written
  });
  form->Edit1->setText(file);
  form->Button4->click();
  const auto deadline = Clock::now() + std::chrono::seconds(60 + kib * 3);
  {
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, [&] {
      if (!form->Upgrading || Clock::now() >= deadline) loop.quit();
    });
    check.start(100);
    loop.exec();
  }
  if (form->Upgrading || !first || receiver.Sim->Firmware() != image) {
    std::printf("the upgrade did not complete (%s)\n", prompts->Last.toLocal8Bit().constData());
    return;
  }
  const double seconds = Seconds(Clock::now() - *first);
  // Per block: 137 + 10 bytes at 10 bits each, and one package interval.
  const double limit = 128.0 / ((137 + 10) * 10.0 / 19200 + 0.050);
  const double rate = static_cast<double>(image.size()) / seconds;
  std::printf("firmware upgrade, %zu KiB through the simulator paced both ways at 19200 baud\n", kib);
  std::printf("  %-44s %8.1f s %8.0f B/s\n", "window (this project)", seconds, rate);
  std::printf("  %-44s %10s %8.0f B/s\n", "protocol limit (line + 50 ms per answer)", "", limit);
  std::printf("  ratio %.3f\n", rate / limit);
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const std::string part = argc > 1 ? argv[1] : "";
  if (part.empty() || part == "wakeups") Wakeups(static_cast<int>(EnvCount("BENCH_IDLE_SECONDS", 5)));
  if (part.empty() || part == "upgrade") Upgrade(static_cast<size_t>(EnvCount("BENCH_UPGRADE_KIB", 64)));
  return 0;
}
