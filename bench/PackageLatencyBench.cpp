// How long after its last byte a package reaches its handler on the owner's
// thread in the timeout package type, interval 50 ms: through the comm
// device's events (the way the window receives replies), against a
// QSerialPort program that restarts a 50 ms single-shot timer on each read,
// in the same run. Bursts of 32 bytes are written at random points of time;
// median, p99 and worst of each.
//
//   package_latency_bench [packages, default 500]
#include <unistd.h>

#include <QCoreApplication>
#include <QSerialPort>
#include <QTimer>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "BenchPty.h"
#include "BenchUtil.h"
#include "PortMap.h"
#include "VellCommDevice.h"

using namespace QuarlComm32;
using namespace bench;

namespace {

constexpr int kIntervalMs = 50;

// Writes `count` bursts to the pty's far side, each once the previous one
// was delivered and after a random pause, while the owner's thread runs its
// event loop; returns the milliseconds from each burst's last byte to its
// delivery. `open` sets up the receiving side on the owner's thread and
// calls its argument once per package delivered.
std::vector<double> Measure(int count, const std::function<void(const std::string& path, std::function<void()>)>& open) {
  Pty pty;
  std::mutex m;
  std::condition_variable cv;
  std::vector<Clock::time_point> sent, delivered;
  open(pty.path, [&] {
    const auto now = Clock::now();
    std::lock_guard lock(m);
    delivered.push_back(now);
    cv.notify_all();
  });
  QEventLoop loop;
  std::thread sender([&] {
    std::mt19937 rng(12345);
    std::uniform_int_distribution<int> pause(0, 30);
    const std::string burst(32, 'x');
    for (int i = 0; i < count; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(pause(rng)));
      if (::write(pty.master, burst.data(), burst.size()) != static_cast<ssize_t>(burst.size())) break;
      std::unique_lock lock(m);
      sent.push_back(Clock::now());
      if (!cv.wait_for(lock, std::chrono::seconds(2), [&] { return delivered.size() > static_cast<size_t>(i); })) {
        std::fprintf(stderr, "package %d was not delivered\n", i);
        break;
      }
    }
    QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
  });
  loop.exec();
  sender.join();
  std::vector<double> ms;
  for (size_t i = 0; i < sent.size() && i < delivered.size(); ++i) ms.push_back(Millis(delivered[i] - sent[i]));
  return ms;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const int count = argc > 1 ? std::max(10, std::atoi(argv[1])) : 500;

  // The comm device as the window has it: the framer's package events raised
  // on the owner's thread.
  std::unique_ptr<TVellCommDevice> dev;
  const std::vector<double> ours = Measure(count, [&](const std::string& path, std::function<void()> got) {
    dev = std::make_unique<TVellCommDevice>();
    dev->SetPortMap(std::make_shared<TFixedPortMap>(std::vector<TPortEntry>{{1, path}}));
    dev->fSetPortNo(1);
    dev->fSetBaud(TVellCommDevice::br19200);
    dev->fSetPackageType(cptFrameTimeout);
    dev->fSetUsePackage(true);
    dev->OnPackage = [&dev, got](QObject*, int type) {
      char buf[64];
      if ((type & 1) && dev->ReadPackage(buf, sizeof buf) > 0) got();
    };
    dev->fSetActive(true);
  });
  dev.reset();

  // QSerialPort with a single-shot timer restarted on each read.
  std::unique_ptr<QSerialPort> port;
  std::unique_ptr<QTimer> timer;
  QByteArray pending;
  const std::vector<double> qt = Measure(count, [&](const std::string& path, std::function<void()> got) {
    port = std::make_unique<QSerialPort>();
    port->setPortName(QString::fromStdString(path));
    port->setBaudRate(19200);
    if (!port->open(QIODevice::ReadWrite))
      std::fprintf(stderr, "QSerialPort: %s\n", port->errorString().toLocal8Bit().constData());
    timer = std::make_unique<QTimer>();
    timer->setSingleShot(true);
    timer->setInterval(kIntervalMs);
    timer->setTimerType(Qt::PreciseTimer);
    QObject::connect(port.get(), &QSerialPort::readyRead, [&] {
      pending += port->readAll();
      timer->start();
    });
    QObject::connect(timer.get(), &QTimer::timeout, [&pending, got] {
      pending.clear();
      got();
    });
  });
  timer.reset();
  port.reset();

  std::printf("package delivery after the last byte, timeout type, interval %d ms, %d packages each\n", kIntervalMs,
              count);
  std::printf("  %-46s %8s %8s %8s\n", "", "median", "p99", "worst");
  std::printf("  %-46s %8.1f %8.1f %8.1f ms\n", "comm device, owner's thread (this project)", Median(ours),
              Quantile(ours, 0.99), Quantile(ours, 1.0));
  std::printf("  %-46s %8.1f %8.1f %8.1f ms\n", "QSerialPort + 50 ms timer restarted on each read", Median(qt),
              Quantile(qt, 0.99), Quantile(qt, 1.0));
  std::printf("  ratio: median %.3f, p99 %.3f, worst %.3f\n", Median(ours) / Median(qt),
              Quantile(ours, 0.99) / Quantile(qt, 0.99), Quantile(ours, 1.0) / Quantile(qt, 1.0));
  std::printf("  beyond the interval: median %+.1f ms, worst %+.1f ms\n", Median(ours) - kIntervalMs,
              Quantile(ours, 1.0) - kIntervalMs);
  return 0;
}
