// Throughput of the serial engine over a pty pair, against a plain blocking
// read/write loop over the same kind of pty in the same run; the CPU time the
// engine's threads spend per MiB moved; the CPU they use while idle.
//
//   engine_bench [MiB per direction, default 16] [idle seconds, default 5]
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "BenchPty.h"
#include "PortMap.h"
#include "TComm32.h"

using namespace QuarlComm32;
using Clock = std::chrono::steady_clock;

namespace {

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double ThreadCpu(std::thread& t) {
  clockid_t id;
  timespec ts{};
  if (!t.joinable() || pthread_getcpuclockid(t.native_handle(), &id) != 0 || clock_gettime(id, &ts) != 0) return 0;
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

double EngineCpu(TComm32& c) { return ThreadCpu(c.ReadThread) + ThreadCpu(c.WriteThread) + ThreadCpu(c.TimerThread); }

void WriteAll(int fd, const char* p, size_t n) {
  while (n > 0) {
    const ssize_t w = ::write(fd, p, n);
    if (w <= 0) {
      pollfd f{fd, POLLOUT, 0};
      ::poll(&f, 1, 100);
      continue;
    }
    p += w;
    n -= static_cast<size_t>(w);
  }
}

size_t ReadAll(int fd, size_t n) {
  std::vector<char> buf(65536);
  size_t got = 0;
  while (got < n) {
    const ssize_t r = ::read(fd, buf.data(), std::min(buf.size(), n - got));
    if (r > 0) got += static_cast<size_t>(r);
    else if (r == 0) break;
    else {
      pollfd f{fd, POLLIN, 0};
      ::poll(&f, 1, 100);
    }
  }
  return got;
}

// Plain loop: one thread writes, the other reads, both blocking.
double Baseline(size_t bytes, bool towardsMaster) {
  Pty p;
  const std::string data(65536, 'b');
  const int from = towardsMaster ? p.slave : p.master, to = towardsMaster ? p.master : p.slave;
  const auto t0 = Clock::now();
  std::thread reader([&] { ReadAll(to, bytes); });
  for (size_t sent = 0; sent < bytes; sent += data.size()) WriteAll(from, data.data(), std::min(data.size(), bytes - sent));
  reader.join();
  return Seconds(Clock::now() - t0);
}

struct EngineRun {
  double seconds, cpu;
};

EngineRun Engine(size_t bytes, bool towardsMaster) {
  Pty p;
  TComm32 comm;
  comm.PortMap = std::make_shared<TFixedPortMap>(std::vector<TPortEntry>{{1, p.path}});
  comm.SetPortNo(1);
  std::mutex m;
  std::condition_variable cv;
  comm.OnCommNotify = [&](TComm32*, int) { cv.notify_one(); };
  comm.Open();
  const double cpu0 = EngineCpu(comm);
  const std::string data(4096, 'e');
  std::vector<char> buf(8192);
  const auto t0 = Clock::now();
  if (towardsMaster) {
    std::thread reader([&] { ReadAll(p.master, bytes); });
    for (size_t sent = 0; sent < bytes;) {
      const int32_t n = comm.Write(data.data(), static_cast<int32_t>(std::min(data.size(), bytes - sent)));
      sent += static_cast<size_t>(n);
      if (n == 0) {
        std::unique_lock<std::mutex> l(m);
        cv.wait_for(l, std::chrono::milliseconds(1));
      }
    }
    reader.join();
  } else {
    // Never more in flight than the receive queue holds: the engine drops
    // what does not fit, as a UART would overrun.
    std::atomic<size_t> consumed{0};
    std::thread feeder([&] {
      for (size_t fed = 0; fed < bytes;) {
        if (fed - consumed.load() > 4096) {
          std::this_thread::sleep_for(std::chrono::microseconds(50));
          continue;
        }
        const size_t n = std::min<size_t>(2048, bytes - fed);
        WriteAll(p.master, data.data(), n);
        fed += n;
      }
    });
    size_t got = 0;
    while (got < bytes) {
      const int32_t r = comm.Read(buf.data(), static_cast<int32_t>(buf.size()));
      if (r > 0) {
        got += static_cast<size_t>(r);
        consumed.store(got);
      } else {
        std::unique_lock<std::mutex> l(m);
        cv.wait_for(l, std::chrono::milliseconds(1));
      }
    }
    feeder.join();
  }
  const double seconds = Seconds(Clock::now() - t0);
  const double cpu = EngineCpu(comm) - cpu0;
  comm.Close();
  return {seconds, cpu};
}

}  // namespace

int main(int argc, char** argv) {
  const size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 16;
  const int idleSeconds = argc > 2 ? std::atoi(argv[2]) : 5;
  const size_t bytes = mib << 20;

  std::printf("%zu MiB each way over a pty pair\n", mib);
  std::printf("%-22s %12s %12s %8s %14s\n", "direction", "plain MiB/s", "engine MiB/s", "ratio", "engine CPU s/MiB");
  for (bool towardsMaster : {true, false}) {
    const double base = Baseline(bytes, towardsMaster);
    const EngineRun run = Engine(bytes, towardsMaster);
    const double baseRate = mib / base, engineRate = mib / run.seconds;
    std::printf("%-22s %12.1f %12.1f %8.3f %14.5f\n", towardsMaster ? "engine -> line (write)" : "line -> engine (read)",
                baseRate, engineRate, engineRate / baseRate, run.cpu / mib);
  }

  Pty p;
  TComm32 comm;
  comm.PortMap = std::make_shared<TFixedPortMap>(std::vector<TPortEntry>{{1, p.path}});
  comm.SetPortNo(1);
  comm.Open();
  const double cpu0 = EngineCpu(comm);
  std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
  const double idle = EngineCpu(comm) - cpu0;
  comm.Close();
  std::printf("idle, port open for %d s: engine threads used %.4f CPU s = %.4f %% of one core\n", idleSeconds, idle,
              100.0 * idle / idleSeconds);
  return 0;
}
