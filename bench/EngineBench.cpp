// The serial engine's data path side by side with other ways of driving the
// same port, over pseudo-terminal pairs, in one run:
//   - throughput writing, reading (the sender not held back) and both ways
//     at once: MiB/s, CPU seconds per MiB of the port's side, and the share
//     of the bytes delivered;
//   - 1-byte echo round trips against a far side in another process: p50
//     and p99, with the threads where the scheduler puts them and on one CPU.
// Peers: a plain blocking read/write loop, Boost.Asio's serial_port,
// QSerialPort and libserialport (which needs a sysfs entry, so it may not
// open a pseudo-terminal at all: then it says so). Each figure is the median
// of the repeats; the peers run alternately, so that a noisy moment of the
// machine hits all of them.
//
//   engine_bench [MiB per direction, default 16] [write|read|both|echo]
//                (BENCH_REPEATS, default 5;
//                 BENCH_ECHOES, default 2000)
#include <fcntl.h>
#include <libserialport.h>
#include <poll.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSerialPort>
#include <QTimer>

#include <boost/asio/io_context.hpp>
#include <boost/asio/serial_port.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "BenchPty.h"
#include "BenchUtil.h"
#include "PortMap.h"
#include "TComm32.h"

using namespace bench;
using QuarlComm32::TComm32;

namespace {

constexpr size_t kWriteChunk = 4096;  // what every peer hands its port per call
constexpr size_t kReadBuffer = 8192;  // what every peer reads into per call
constexpr auto kRunLimit = std::chrono::seconds(30);

enum Mode { kWrite, kRead, kBoth };
const char* const kModeNames[] = {"write", "read", "both ways"};
const char* const kModeParts[] = {"write", "read", "both"};

// What one peer moved in one run. `delivered` counts the bytes that arrived
// where they were sent to, of `expected`.
struct Run {
  double seconds = 0, cpu = 0;
  uint64_t delivered = 0, expected = 0;
};

// The pty's far side for a run: drains what the peer writes and feeds what
// it reads, as fast as the pty takes it (blocking calls with a poll() for
// the deadline), on threads whose CPU time is kept apart from the peer's.
class FarSide {
public:
  FarSide(int master, Mode mode, size_t bytes) {
    if (mode != kRead) Threads.emplace_back([=, this] { Drain(master, bytes); });
    if (mode != kWrite) Threads.emplace_back([=, this] { Feed(master, bytes); });
  }
  // Waits for the far side's own work; returns the bytes it drained.
  uint64_t Join() {
    for (auto& t : Threads) t.join();
    Threads.clear();
    return Drained;
  }
  double Cpu() const { return CpuSeconds.load(); }
  Clock::time_point LastByte() const { return DrainEnd; }

private:
  void Drain(int fd, size_t bytes) {
    std::vector<char> buf(65536);
    const auto deadline = Clock::now() + kRunLimit;
    size_t got = 0;
    while (got < bytes && Clock::now() < deadline) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 200) <= 0) continue;
      const ssize_t r = ::read(fd, buf.data(), std::min(buf.size(), bytes - got));
      if (r <= 0) break;
      got += static_cast<size_t>(r);
    }
    Drained = got;
    DrainEnd = Clock::now();
    AddCpu();
  }
  void Feed(int fd, size_t bytes) {
    const std::string data(kWriteChunk, 'f');
    const auto deadline = Clock::now() + kRunLimit;
    for (size_t sent = 0; sent < bytes && Clock::now() < deadline;) {
      pollfd p{fd, POLLOUT, 0};
      if (::poll(&p, 1, 200) <= 0) continue;
      const ssize_t w = ::write(fd, data.data(), std::min(data.size(), bytes - sent));
      if (w <= 0) break;
      sent += static_cast<size_t>(w);
    }
    AddCpu();
  }
  void AddCpu() {
    double now = CpuSeconds.load();
    while (!CpuSeconds.compare_exchange_weak(now, now + OwnThreadCpu())) {
    }
  }

  std::vector<std::thread> Threads;
  std::atomic<double> CpuSeconds{0};
  uint64_t Drained = 0;
  Clock::time_point DrainEnd;
};

// Runs one transfer: `peer` moves the port's side of `mode` and returns the
// bytes it read. The CPU of the far side's threads is not counted.
Run Measure(Mode mode, size_t bytes, const std::function<uint64_t(const std::string& path, Mode, size_t)>& peer) {
  Pty pty;
  const double cpu0 = ProcessCpu();
  const auto t0 = Clock::now();
  FarSide far(pty.master, mode, bytes);
  const uint64_t read = peer(pty.path, mode, bytes);
  const auto readEnd = Clock::now();
  const uint64_t drained = far.Join();
  Run r;
  const auto end = mode == kRead ? readEnd : std::max(readEnd, far.LastByte());
  r.seconds = Seconds(end - t0);
  r.cpu = ProcessCpu() - cpu0 - far.Cpu();
  r.delivered = read + drained;
  r.expected = mode == kBoth ? 2 * bytes : bytes;
  return r;
}

// The far side of an echo, in a process of its own as the receiver is a
// device of its own: sends back whatever arrives and notes the CPU it ran
// on, until it is killed (or its parent dies).
class Echo {
public:
  explicit Echo(int master) {
    void* shared = ::mmap(nullptr, sizeof(std::atomic<int>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED) {
      std::perror("mmap");
      std::exit(1);
    }
    FarCpu = new (shared) std::atomic<int>(-1);
    Child = ::fork();
    if (Child < 0) {
      std::perror("fork");
      std::exit(1);
    }
    if (Child == 0) {  // the parent has threads: plain system calls only from here on
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      char buf[64];
      for (;;) {
        const ssize_t r = ::read(master, buf, sizeof buf);
        if (r <= 0) ::_exit(0);
        FarCpu->store(::sched_getcpu(), std::memory_order_relaxed);
        if (::write(master, buf, static_cast<size_t>(r)) != r) ::_exit(0);
      }
    }
  }
  ~Echo() {
    ::kill(Child, SIGKILL);
    ::waitpid(Child, nullptr, 0);
    ::munmap(FarCpu, sizeof(std::atomic<int>));
  }
  // The CPU of the far side's last reply; read after the reply came, so
  // that its store is visible.
  int Cpu() const { return FarCpu->load(std::memory_order_relaxed); }

private:
  std::atomic<int>* FarCpu;
  pid_t Child;
};

// Times round trips and counts how many times each one changed CPU on its
// way: from the client's send to the far side, and from there to where the
// client took the reply. On a virtual machine every change means a wake-up
// across CPUs, which costs far more than the code on either side.
struct Trips {
  explicit Trips(const Echo& far) : Far(far) {}
  void Start() {
    SentAt = Clock::now();
    SentOn = ::sched_getcpu();
  }
  void Stop() {
    Us.push_back(Micros(Clock::now() - SentAt));
    const int far = Far.Cpu();
    Crossings += (SentOn != far) + (far != ::sched_getcpu());
  }
  int Count() const { return static_cast<int>(Us.size()); }
  const Echo& Far;
  std::vector<double> Us;
  int64_t Crossings = 0;
  Clock::time_point SentAt;
  int SentOn = -1;
};

// ------------------------------------------------------------- plain loop

// Blocking reads that give up after 0.2 s without a byte (VMIN 0, VTIME 2),
// so that the loop has a deadline without a poll() of its own.
int OpenBlocking(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    std::perror(path.c_str());
    std::exit(1);
  }
  termios t{};
  ::tcgetattr(fd, &t);
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 2;
  ::tcsetattr(fd, TCSANOW, &t);
  return fd;
}

uint64_t PlainRead(int fd, size_t bytes) {
  std::vector<char> buf(kReadBuffer);
  size_t got = 0;
  const auto deadline = Clock::now() + kRunLimit;
  while (got < bytes && Clock::now() < deadline) {
    const ssize_t r = ::read(fd, buf.data(), std::min(buf.size(), bytes - got));
    if (r < 0) break;
    got += static_cast<size_t>(r);
  }
  return got;
}

void PlainWrite(int fd, size_t bytes) {
  const std::string data(kWriteChunk, 'p');
  for (size_t sent = 0; sent < bytes;) {
    const ssize_t w = ::write(fd, data.data(), std::min(data.size(), bytes - sent));
    if (w <= 0) break;
    sent += static_cast<size_t>(w);
  }
}

uint64_t Plain(const std::string& path, Mode mode, size_t bytes) {
  const int fd = OpenBlocking(path);
  uint64_t got = 0;
  std::thread writer;
  if (mode != kRead) writer = std::thread([&] { PlainWrite(fd, bytes); });
  if (mode != kWrite) got = PlainRead(fd, bytes);
  if (writer.joinable()) writer.join();
  ::close(fd);
  return got;
}

void PlainEcho(const std::string& path, int rounds, Trips& trips) {
  const int fd = OpenBlocking(path);
  for (int i = 0; i < rounds; ++i) {
    char b = static_cast<char>(i);
    trips.Start();
    if (::write(fd, &b, 1) != 1 || ::read(fd, &b, 1) != 1) break;
    trips.Stop();
  }
  ::close(fd);
}

// The plain loop again, while one more thread of the process sleeps on a
// condition variable, doing nothing: a threaded program's baseline. The
// sleeper changes nothing but the thread count, yet on some machines it
// changes where the scheduler puts the loop, and with it the round trip.
void PlainEchoBesideASleeper(const std::string& path, int rounds, Trips& trips) {
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  std::thread sleeper([&] {
    std::unique_lock lock(m);
    cv.wait(lock, [&] { return done; });
  });
  PlainEcho(path, rounds, trips);
  {
    std::lock_guard lock(m);
    done = true;
  }
  cv.notify_all();
  sleeper.join();
}

// ------------------------------------------------------------------ engine

// The engine as a program uses it: Write until the transmit queue is full,
// then wait for the next notification (EV_TXEMPTY); read in OnCommNotify
// when EV_RXCHAR says bytes came (on the engine's reader thread, as the
// package framer reads).
struct EngineClient {
  explicit EngineClient(const std::string& path) {
    comm.PortMap = std::make_shared<QuarlComm32::TFixedPortMap>(std::vector<QuarlComm32::TPortEntry>{{1, path}});
    comm.SetPortNo(1);
  }
  // Waits for a notification after `seen` (5 ms at most).
  void WaitAfter(uint64_t seen) {
    std::unique_lock lock(m);
    cv.wait_for(lock, std::chrono::milliseconds(5), [&] { return events != seen; });
  }
  uint64_t Events() {
    std::lock_guard lock(m);
    return events;
  }
  void Signal() {
    {
      std::lock_guard lock(m);
      ++events;
    }
    cv.notify_all();
  }
  TComm32 comm;
  std::mutex m;
  std::condition_variable cv;
  uint64_t events = 0;
};

uint64_t Engine(const std::string& path, Mode mode, size_t bytes) {
  EngineClient c(path);
  std::atomic<uint64_t> got{0};
  std::vector<char> buf(kReadBuffer);
  c.comm.OnCommNotify = [&](TComm32*, int mask) {
    if (mask & QuarlComm32::EV_RXCHAR) {
      int32_t r;
      while ((r = c.comm.Read(buf.data(), static_cast<int32_t>(buf.size()))) > 0)
        got.fetch_add(static_cast<uint64_t>(r), std::memory_order_relaxed);
      if (got.load(std::memory_order_relaxed) >= bytes) c.Signal();
    }
    if (mask & QuarlComm32::EV_TXEMPTY) c.Signal();
  };
  c.comm.Open();
  const auto deadline = Clock::now() + kRunLimit;
  if (mode != kRead) {
    const std::string data(kWriteChunk, 'e');
    for (size_t sent = 0; sent < bytes && Clock::now() < deadline;) {
      const uint64_t seen = c.Events();
      const int32_t n = c.comm.Write(data.data(), static_cast<int32_t>(std::min(data.size(), bytes - sent)));
      sent += static_cast<size_t>(n);
      if (n == 0) c.WaitAfter(seen);
    }
    // The port's side is done when the engine has handed everything over.
    while (c.comm.OutQueue->Count() > 0 && Clock::now() < deadline) c.WaitAfter(c.Events());
  }
  if (mode != kWrite) {
    while (got.load(std::memory_order_relaxed) < bytes && Clock::now() < deadline) c.WaitAfter(c.Events());
  }
  c.comm.Close();
  return got.load();
}

// Round trips driven from the notification: the byte that came back is read
// on the reader thread, which writes the next one, as an asynchronous client
// chains its handlers.
void EngineEcho(const std::string& path, int rounds, Trips& trips) {
  EngineClient c(path);
  bool done = false;
  c.comm.OnCommNotify = [&](TComm32*, int mask) {
    if (!(mask & QuarlComm32::EV_RXCHAR)) return;
    char b;
    while (c.comm.Read(&b, 1) == 1) {
      trips.Stop();
      if (trips.Count() >= rounds) {
        std::lock_guard lock(c.m);
        done = true;
        c.cv.notify_all();
        return;
      }
      trips.Start();
      c.comm.Write(&b, 1);
    }
  };
  c.comm.Open();
  trips.Start();
  c.comm.Write("x", 1);
  {
    std::unique_lock lock(c.m);
    c.cv.wait_for(lock, kRunLimit, [&] { return done; });
  }
  c.comm.Close();
}

// ------------------------------------------------------------ Boost.Asio

uint64_t Asio(const std::string& path, Mode mode, size_t bytes) {
  namespace asio = boost::asio;
  asio::io_context io;
  asio::serial_port port(io, path);
  const std::string data(kWriteChunk, 'a');
  std::vector<char> buf(kReadBuffer);
  size_t sent = 0, got = 0;
  std::function<void()> writeNext = [&] {
    if (sent >= bytes) return;
    port.async_write_some(asio::buffer(data.data(), std::min(data.size(), bytes - sent)),
                          [&](boost::system::error_code e, size_t n) {
                            sent += n;
                            if (!e) writeNext();
                          });
  };
  std::function<void()> readNext = [&] {
    if (got >= bytes) return;
    port.async_read_some(asio::buffer(buf.data(), std::min(buf.size(), bytes - got)),
                         [&](boost::system::error_code e, size_t n) {
                           got += n;
                           if (!e) readNext();
                         });
  };
  asio::steady_timer limit(io, kRunLimit);
  limit.async_wait([&](boost::system::error_code e) {
    if (!e) port.cancel();
  });
  if (mode != kRead) writeNext();
  if (mode != kWrite) readNext();
  // Runs until both chains have ended; then the timer is the only work left.
  while (io.run_one()) {
    if ((mode == kRead || sent >= bytes) && (mode == kWrite || got >= bytes)) break;
  }
  limit.cancel();
  return got;
}

void AsioEcho(const std::string& path, int rounds, Trips& trips) {
  namespace asio = boost::asio;
  asio::io_context io;
  asio::serial_port port(io, path);
  char b = 'x';
  std::function<void()> next = [&] {
    trips.Start();
    asio::async_write(port, asio::buffer(&b, 1), [&](boost::system::error_code e, size_t) {
      if (e) return;
      port.async_read_some(asio::buffer(&b, 1), [&](boost::system::error_code e2, size_t n) {
        if (e2 || n != 1) return;
        trips.Stop();
        if (trips.Count() < rounds) next();
      });
    });
  };
  next();
  io.run_for(kRunLimit);
}

// ------------------------------------------------------------- QSerialPort

bool OpenQt(QSerialPort& port, const std::string& path) {
  port.setPortName(QString::fromStdString(path));
  if (!port.open(QIODevice::ReadWrite)) {
    std::fprintf(stderr, "QSerialPort: %s\n", port.errorString().toLocal8Bit().constData());
    return false;
  }
  return true;
}

uint64_t QtPort(const std::string& path, Mode mode, size_t bytes) {
  QSerialPort port;
  if (!OpenQt(port, path)) return 0;
  const QByteArray data(kWriteChunk, 'q');
  size_t queued = 0;
  uint64_t got = 0;
  std::vector<char> buf(kReadBuffer);
  QEventLoop loop;
  auto finished = [&] {
    const bool written = mode == kRead || (queued >= bytes && port.bytesToWrite() == 0);
    const bool read = mode == kWrite || got >= bytes;
    if (written && read) loop.quit();
  };
  // Keeps up to 64 KiB in QSerialPort's own buffer.
  auto topUp = [&] {
    while (queued < bytes && port.bytesToWrite() < 65536) {
      const qint64 n = std::min<qint64>(data.size(), static_cast<qint64>(bytes - queued));
      port.write(data.constData(), n);
      queued += static_cast<size_t>(n);
    }
    finished();
  };
  QObject::connect(&port, &QSerialPort::bytesWritten, topUp);
  QObject::connect(&port, &QSerialPort::readyRead, [&] {
    qint64 r;
    while ((r = port.read(buf.data(), static_cast<qint64>(buf.size()))) > 0) got += static_cast<uint64_t>(r);
    finished();
  });
  QTimer::singleShot(std::chrono::milliseconds(kRunLimit), &loop, &QEventLoop::quit);
  if (mode != kRead) topUp();
  loop.exec();
  return got;
}

void QtEcho(const std::string& path, int rounds, Trips& trips) {
  QSerialPort port;
  if (!OpenQt(port, path)) return;
  QEventLoop loop;
  QObject::connect(&port, &QSerialPort::readyRead, [&] {
    char b;
    while (port.read(&b, 1) == 1) {
      trips.Stop();
      if (trips.Count() >= rounds) {
        loop.quit();
        return;
      }
      trips.Start();
      port.write(&b, 1);
    }
  });
  QTimer::singleShot(std::chrono::milliseconds(kRunLimit), &loop, &QEventLoop::quit);
  trips.Start();
  port.write("x", 1);
  loop.exec();
}

// ----------------------------------------------------------- libserialport

// Opens the port, or tells why it cannot.
sp_port* OpenSp(const std::string& path, std::string& why) {
  sp_port* port = nullptr;
  if (sp_get_port_by_name(path.c_str(), &port) != SP_OK) {
    char* m = sp_last_error_message();
    why = std::string("sp_get_port_by_name: ") + (m ? m : "failed");
    sp_free_error_message(m);
    return nullptr;
  }
  if (sp_open(port, SP_MODE_READ_WRITE) != SP_OK) {
    char* m = sp_last_error_message();
    why = std::string("sp_open: ") + (m ? m : "failed");
    sp_free_error_message(m);
    sp_free_port(port);
    return nullptr;
  }
  return port;
}

// Whether libserialport opens a pseudo-terminal here, and why not.
std::string SpRefusal() {
  Pty pty;
  std::string why;
  if (sp_port* port = OpenSp(pty.path, why)) {
    sp_close(port);
    sp_free_port(port);
    return {};
  }
  return why;
}

uint64_t Sp(const std::string& path, Mode mode, size_t bytes) {
  std::string why;
  sp_port* port = OpenSp(path, why);
  if (port == nullptr) return 0;
  std::thread writer;
  if (mode != kRead) {
    writer = std::thread([&] {
      const std::string data(kWriteChunk, 's');
      for (size_t sent = 0; sent < bytes;) {
        const int w = sp_blocking_write(port, data.data(), std::min(data.size(), bytes - sent), 1000);
        if (w <= 0) break;
        sent += static_cast<size_t>(w);
      }
    });
  }
  uint64_t got = 0;
  if (mode != kWrite) {
    std::vector<char> buf(kReadBuffer);
    const auto deadline = Clock::now() + kRunLimit;
    while (got < bytes && Clock::now() < deadline) {
      const int r = sp_blocking_read_next(port, buf.data(), std::min<size_t>(buf.size(), bytes - got), 200);
      if (r < 0) break;
      got += static_cast<uint64_t>(r);
    }
  }
  if (writer.joinable()) writer.join();
  sp_close(port);
  sp_free_port(port);
  return got;
}

void SpEcho(const std::string& path, int rounds, Trips& trips) {
  std::string why;
  sp_port* port = OpenSp(path, why);
  if (port == nullptr) return;
  for (int i = 0; i < rounds; ++i) {
    char b = 'x';
    trips.Start();
    if (sp_blocking_write(port, &b, 1, 1000) != 1 || sp_blocking_read(port, &b, 1, 1000) != 1) break;
    trips.Stop();
  }
  sp_close(port);
  sp_free_port(port);
}

struct Peer {
  const char* name;
  std::function<uint64_t(const std::string&, Mode, size_t)> transfer;
  std::function<void(const std::string&, int, Trips&)> echo;
};

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 16;
  const size_t bytes = mib << 20;
  const int repeats = static_cast<int>(EnvCount("BENCH_REPEATS", 5));
  const int echoes = static_cast<int>(EnvCount("BENCH_ECHOES", 2000));

  std::vector<Peer> peers = {{"TComm32 (this project)", Engine, EngineEcho},
                             {"plain read/write loop", Plain, PlainEcho},
                             {"Boost.Asio serial_port", Asio, AsioEcho},
                             {"QSerialPort", QtPort, QtEcho}};
  const std::string spWhy = SpRefusal();
  if (spWhy.empty()) peers.push_back({"libserialport", Sp, SpEcho});
  // BENCH_PEER=text keeps the plain loop and the peers whose name has it.
  if (const char* only = std::getenv("BENCH_PEER"))
    std::erase_if(peers, [&](const Peer& p) {
      return std::string(p.name).find(only) == std::string::npos && std::string(p.name) != "plain read/write loop";
    });

  std::printf("engine data path over a pty pair: %zu MiB per direction, %zu-byte writes, %zu-byte reads; "
              "median of %d runs\n",
              mib, kWriteChunk, kReadBuffer, repeats);
  if (!spWhy.empty())
    std::printf("libserialport does not run here: it cannot open a pseudo-terminal (%s)\n", spWhy.c_str());

  // A second argument picks one part: "write", "read", "both" or "echo".
  const std::string part = argc > 2 ? argv[2] : "";
  for (Mode mode : {kWrite, kRead, kBoth}) {
    if (!part.empty() && part != kModeParts[mode]) continue;
    std::map<std::string, std::vector<Run>> runs;
    for (int i = 0; i < repeats; ++i)
      for (const Peer& p : peers) runs[p.name].push_back(Measure(mode, bytes, p.transfer));
    std::printf("\n%s%s\n", kModeNames[mode], mode == kRead ? " (sender not held back)" : "");
    std::printf("  %-24s %10s %14s %11s %16s %11s\n", "", "MiB/s", "vs plain loop", "CPU s/MiB", "CPU vs plain loop",
                "delivered");
    auto rate = [&](const std::string& n) {
      std::vector<double> v;
      for (const Run& r : runs[n]) v.push_back(static_cast<double>(r.expected) / 1048576.0 / r.seconds);
      return Median(v);
    };
    auto cpu = [&](const std::string& n) {
      std::vector<double> v;
      for (const Run& r : runs[n]) v.push_back(r.cpu / (static_cast<double>(r.expected) / 1048576.0));
      return Median(v);
    };
    const double plainRate = rate("plain read/write loop"), plainCpu = cpu("plain read/write loop");
    for (const Peer& p : peers) {
      uint64_t delivered = 0, expected = 0;
      for (const Run& r : runs[p.name]) delivered += r.delivered, expected += r.expected;
      std::printf("  %-24s %10.1f %13.2fx %11.5f %15.2fx %10.2f%%\n", p.name, rate(p.name), rate(p.name) / plainRate,
                  cpu(p.name), cpu(p.name) / plainCpu, 100.0 * static_cast<double>(delivered) / static_cast<double>(expected));
    }
  }

  if (!part.empty() && part != "echo") return 0;
  // Per round trip, of this process only (the far side is another one):
  // context switches and CPU time, which do not depend on where the
  // scheduler puts the threads, as the times do; and how many times the
  // trip changed CPU, which is most of what the times depend on here.
  auto switches = [] {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_nvcsw + u.ru_nivcsw);
  };
  // Twice: where the scheduler puts the threads, and with every thread of
  // both processes on one CPU. On a virtual machine a wake-up across CPUs
  // costs more than either side's code, and where the threads land changes
  // from run to run; on one CPU every peer meets the same placement (the
  // pty's kernel worker then runs on another), so the times compare the
  // code paths.
  auto echoTable = [&](bool oneCpu) {
    cpu_set_t before;
    ::sched_getaffinity(0, sizeof before, &before);
    if (oneCpu) {
      cpu_set_t one;
      CPU_ZERO(&one);
      CPU_SET(::sched_getcpu(), &one);
      ::sched_setaffinity(0, sizeof one, &one);
    }
    std::printf("\n1-byte echo round trip, %d rounds per run; the far side is a process of its own; %s\n", echoes,
                oneCpu ? "every thread on one CPU" : "threads where the scheduler puts them");
    std::printf("  %-26s %8s %8s %13s %13s %14s %13s %14s\n", "", "p50 us", "p99 us", "p50 vs plain", "p99 vs plain",
                "switches/trip", "CPU us/trip", "CPU changes/trip");
    std::map<std::string, std::vector<double>> p50, p99, cs, cpu, moves;
    std::vector<Peer> echoPeers = peers;
    echoPeers.insert(echoPeers.begin() + 2, Peer{"plain, a thread asleep", {}, PlainEchoBesideASleeper});
    for (int i = 0; i < repeats; ++i) {
      for (const Peer& p : echoPeers) {
        Pty pty;
        Echo far(pty.master);
        Trips trips(far);
        const double switchesBefore = switches(), cpuBefore = ProcessCpu();
        p.echo(pty.path, echoes, trips);
        const double n = std::max(trips.Count(), 1);
        cs[p.name].push_back((switches() - switchesBefore) / n);
        cpu[p.name].push_back((ProcessCpu() - cpuBefore) * 1e6 / n);
        moves[p.name].push_back(static_cast<double>(trips.Crossings) / n);
        if (trips.Count() < echoes) std::printf("  %s: only %d round trips\n", p.name, trips.Count());
        p50[p.name].push_back(Quantile(trips.Us, 0.5));
        p99[p.name].push_back(Quantile(trips.Us, 0.99));
      }
    }
    const double plain50 = Median(p50["plain read/write loop"]), plain99 = Median(p99["plain read/write loop"]);
    for (const Peer& p : echoPeers)
      std::printf("  %-26s %8.1f %8.1f %12.2fx %12.2fx %14.2f %13.1f %16.2f\n", p.name, Median(p50[p.name]),
                  Median(p99[p.name]), Median(p50[p.name]) / plain50, Median(p99[p.name]) / plain99, Median(cs[p.name]),
                  Median(cpu[p.name]), Median(moves[p.name]));
    ::sched_setaffinity(0, sizeof before, &before);
  };
  echoTable(false);
  echoTable(true);
  return 0;
}
