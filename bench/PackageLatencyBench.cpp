// How long after its last byte a package reaches its handler in the timeout
// package type (interval 50 ms): through the device's events on the owner's
// thread (the way the window receives replies), against the baseline of the
// handler called directly on the framer's timer thread, in the same run.
// The pause that ends a package is measured in whole waits, so both should lie
// between one and two intervals; the ratio shows what the trip to the owner's
// thread adds.
//
//   package_latency_bench [packages, default 200]
#include <pty.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "BenchPty.h"
#include "PortMap.h"
#include "VellCommDevice.h"

using namespace QuarlComm32;
using Clock = std::chrono::steady_clock;

namespace {

struct Stats {
  double median, p90, worst, best;
};

double ProcessCpuSeconds() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

Stats Summarise(std::vector<double> ms) {
  std::sort(ms.begin(), ms.end());
  return {ms[ms.size() / 2], ms[ms.size() * 9 / 10], ms.back(), ms.front()};
}

// Sends `count` packages of 32 bytes, each at a random point of the framer's
// wait cycle, and returns the milliseconds from each write to its handler.
std::vector<double> Measure(bool onOwnersThread, int count) {
  Pty pty;
  TVellCommDevice dev;
  dev.SetPortMap(std::make_shared<TFixedPortMap>(std::vector<TPortEntry>{{1, pty.path}}));
  dev.fSetPortNo(1);
  dev.fSetBaud(TVellCommDevice::br19200);
  dev.fSetPackageType(cptFrameTimeout);
  dev.fSetUsePackage(true);
  dev.fSetSyncEvents(onOwnersThread);

  std::mutex m;
  std::condition_variable cv;
  Clock::time_point delivered;
  bool got = false;
  dev.OnPackage = [&](QObject*, int type) {
    if ((type & 1) == 0) return;
    char buf[64];
    if (dev.ReadPackage(buf, sizeof buf) == 0) return;
    std::lock_guard lock(m);
    delivered = Clock::now();
    got = true;
    cv.notify_one();
  };
  dev.fSetActive(true);

  std::mt19937 rng(12345);
  std::uniform_int_distribution<int> phase(0, 50);
  const std::string burst(32, 'x');
  std::vector<double> ms;
  for (int i = 0; i < count; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(phase(rng)));
    {
      std::lock_guard lock(m);
      got = false;
    }
    if (::write(pty.master, burst.data(), burst.size()) != static_cast<ssize_t>(burst.size())) {
      std::perror("write");
      std::exit(1);
    }
    const auto sent = Clock::now();
    const auto deadline = sent + std::chrono::seconds(2);
    QTimer::singleShot(2000, [] {});  // wakes the event loop should nothing come
    std::unique_lock lock(m);
    while (!got && Clock::now() < deadline) {
      if (onOwnersThread) {
        lock.unlock();
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        lock.lock();
      } else {
        cv.wait_until(lock, deadline);
      }
    }
    if (!got) {
      std::fprintf(stderr, "package %d was not delivered\n", i);
      std::exit(1);
    }
    ms.push_back(std::chrono::duration<double, std::milli>(delivered - sent).count());
  }
  return ms;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const int count = argc > 1 ? std::max(10, std::atoi(argv[1])) : 200;
  std::printf("package delivery after the last byte, interval 50 ms, %d packages each\n", count);
  double cpu0 = ProcessCpuSeconds();
  auto t0 = Clock::now();
  const Stats base = Summarise(Measure(false, count));
  const double baseCpu = (ProcessCpuSeconds() - cpu0) / std::chrono::duration<double>(Clock::now() - t0).count();
  cpu0 = ProcessCpuSeconds();
  t0 = Clock::now();
  const Stats dev = Summarise(Measure(true, count));
  const double devCpu = (ProcessCpuSeconds() - cpu0) / std::chrono::duration<double>(Clock::now() - t0).count();
  std::printf("%-32s %8s %8s %8s %8s %12s\n", "", "best", "median", "p90", "worst", "CPU of core");
  std::printf("%-32s %8.1f %8.1f %8.1f %8.1f ms %8.2f %%\n", "framer's thread (baseline)", base.best, base.median,
              base.p90, base.worst, baseCpu * 100);
  std::printf("%-32s %8.1f %8.1f %8.1f %8.1f ms %8.2f %%\n", "owner's thread (device events)", dev.best, dev.median,
              dev.p90, dev.worst, devCpu * 100);
  std::printf("ratio owner/baseline: median %.3f, worst %.3f\n", dev.median / base.median, dev.worst / base.worst);
  return 0;
}
