// The serial port engine over real pseudo-terminals: opening and its
// failures, line settings as the other side sees them, data both ways,
// notifications, stopping without leaks, a vanishing device, and the
// DTR/RTS/flow control properties.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <numeric>
#include <optional>
#include <random>
#include <thread>

#include "PortMap.h"
#include "PtyPair.h"
#include "TComm32.h"
#include "Termios2.h"

using namespace QuarlComm32;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// Records notifications and lets a test wait for one.
struct Recorder {
  std::mutex m;
  std::condition_variable cv;
  std::vector<std::string> log;  // "notify 0x38", "after-open", "before-close"
  std::vector<int> masks;

  void Attach(TComm32& c) {
    c.OnCommNotify = [this](TComm32*, int mask) {
      std::lock_guard<std::mutex> l(m);
      masks.push_back(mask);
      if (mask == 0x38) log.push_back("notify 0x38");
      cv.notify_all();
    };
    c.OnAfterOpen = [this](TComm32*) { Add("after-open"); };
    c.OnBeforeClose = [this](TComm32*) { Add("before-close"); };
  }
  void Add(const std::string& s) {
    std::lock_guard<std::mutex> l(m);
    log.push_back(s);
    cv.notify_all();
  }
  int Count(int bit) {  // under m
    return static_cast<int>(std::count_if(masks.begin(), masks.end(), [&](int x) { return x & bit; }));
  }
  int CountWith(int bit) {
    std::lock_guard<std::mutex> l(m);
    return Count(bit);
  }
  // Waits until at least n notifications carried `bit`.
  bool WaitFor(int bit, int n = 1, std::chrono::milliseconds limit = 2000ms) {
    std::unique_lock<std::mutex> l(m);
    return cv.wait_for(l, limit, [&] { return Count(bit) >= n; });
  }
};

class Engine : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_GE(pty.Master, 0);
    comm.PortMap = std::make_shared<TFixedPortMap>(std::vector<TPortEntry>{{1, pty.Path}});
    comm.SetPortNo(1);
    comm.DCB.BaudRate = 19200;
  }

  // Reads exactly n bytes from the engine's receive queue.
  std::string ReadFromEngine(size_t n, std::chrono::milliseconds limit = 2000ms) {
    std::string out;
    char buf[4096];
    const auto deadline = Clock::now() + limit;
    while (out.size() < n && Clock::now() < deadline) {
      const int32_t r = comm.Read(buf, static_cast<int32_t>(std::min(sizeof buf, n - out.size())));
      if (r > 0) out.append(buf, static_cast<size_t>(r));
      else std::this_thread::sleep_for(1ms);
    }
    return out;
  }

  TLineSettings SlaveSettings() {
    TLineSettings s;
    EXPECT_EQ(ReadLineSettings(pty.Slave, s), 0);
    return s;
  }

  PtyPair pty;
  Recorder rec;  // outlives the engine, whose destructor may still notify
  TComm32 comm;
};

// What Open threw; nothing when it opened.
std::optional<EComm32Error> OpenError(TComm32& c) {
  try {
    c.Open();
  } catch (const EComm32Error& e) {
    return e;
  }
  return std::nullopt;
}

// Stand-ins for the driver's modem line and loss counter readers.
std::atomic<int> gFakeLines{0};
bool FakeLines(int, int& bits) {
  bits = gFakeLines.load();
  return true;
}
// Lines for the timer thread: they count their reads, and kUnreadable makes
// the read fail as on a device without modem lines.
constexpr int kUnreadable = -1;
std::atomic<int> gTimerLines{0};
std::atomic<uint64_t> gTimerLineReads{0};
bool CountedLines(int, int& bits) {
  gTimerLineReads.fetch_add(1);
  const int lines = gTimerLines.load();
  if (lines == kUnreadable) return false;
  bits = lines;
  return true;
}
std::atomic<uint64_t> gOverruns{0}, gBufferOverruns{0};
bool FakeLosses(int, TLossCounters& c) {
  c.Overrun = gOverruns.load();
  c.BufferOverrun = gBufferOverruns.load();
  return true;
}

std::string Pattern(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

}  // namespace

// ---------------------------------------------------------------- opening

// An unmapped number, COM0, COM-2 or a bare relative name (which would be
// opened in the current folder) fail with code 4, even where a file of that
// name is, and leave no descriptor or thread behind. (The message's language
// is EComm32Error's own test.)
TEST_F(Engine, NamesThatAreNoDeviceFailWithCode4AndLeaveNothingBehind) {
  namespace fs = std::filesystem;
  const fs::path folder = fs::temp_directory_path() / ("quarl-cwd-" + std::to_string(::getpid()));
  fs::create_directories(folder);
  const fs::path before = fs::current_path();
  fs::current_path(folder);
  const int fds = CountEntries("/proc/self/fd"), tasks = CountEntries("/proc/self/task");
  for (int portNo : {7, 0, -2, 1}) {  // 1: a bare relative name instead of the mapped one
    if (portNo == 1) std::snprintf(comm.DeviceName, sizeof comm.DeviceName, "ttyRelative");
    else comm.SetPortNo(portNo);
    std::ofstream(folder / comm.DeviceName) << "not a port";
    SCOPED_TRACE(comm.DeviceName);
    const auto e = OpenError(comm);
    EXPECT_TRUE(e && e->ErrorCode == ecOpenPort);
    EXPECT_FALSE(comm.Active);
    EXPECT_EQ(comm.Handle, -1);
  }
  fs::current_path(before);
  fs::remove_all(folder);
  EXPECT_EQ(CountEntries("/proc/self/fd"), fds);
  EXPECT_EQ(CountEntries("/proc/self/task"), tasks);

  // Once the number leads somewhere, the same engine opens.
  comm.PortMap = std::make_shared<TFixedPortMap>(std::vector<TPortEntry>{{7, pty.Path}});
  comm.SetPortNo(7);
  comm.Open();
  EXPECT_TRUE(comm.Active);
}

TEST_F(Engine, MissingOrBusyDeviceFailsWithCode4AndTheSystemsReason) {
  const auto pm = comm.PortMap;
  comm.PortMap = std::make_shared<TFixedPortMap>(std::vector<TPortEntry>{{1, "/nonexistent/ttyX"}});
  auto e = OpenError(comm);
  ASSERT_TRUE(e);
  EXPECT_EQ(e->ErrorCode, ecOpenPort);
  EXPECT_EQ(e->OsError, ENOENT);
  comm.PortMap = pm;
  comm.Open();
  TComm32 second;
  second.PortMap = pm;
  second.SetPortNo(1);
  e = OpenError(second);
  ASSERT_TRUE(e) << "a port was opened twice";
  EXPECT_EQ(e->ErrorCode, ecOpenPort);
  EXPECT_EQ(e->OsError, EBUSY);
  comm.Close();
  second.Open();  // free again once the first engine closed it
  EXPECT_TRUE(second.Active);
}

TEST_F(Engine, SettingsTheDeviceRefusesFailWithCode8) {
  comm.DCB.ByteSize = 9;
  const auto e = OpenError(comm);
  EXPECT_TRUE(e && e->ErrorCode == ecSetParams);
  EXPECT_FALSE(comm.Active);
  comm.DCB.ByteSize = 8;
  comm.DCB.StopBits = ONE5STOPBITS;  // 1.5 stop bits need 5 data bits
  EXPECT_THROW(comm.Open(), EComm32Error);
  comm.DCB.ByteSize = 5;
  comm.Open();
  EXPECT_TRUE(SlaveSettings().ExtraStopBit);
}

// ---------------------------------------------------------- line settings

// Every rate of the baud table, the stop bits and the flow control reach the
// line as the other side reads them back. (The pty driver forces 8 bits
// without parity, so parity cannot be seen from here.)
TEST_F(Engine, LineSettingsAsTheOtherSideSeesThem) {
  for (uint32_t rate : {110u, 300u, 600u, 1200u, 2400u, 4800u, 9600u, 14400u, 19200u, 38400u, 56000u, 57600u,
                        115200u, 128000u, 256000u}) {
    SCOPED_TRACE(rate);
    comm.DCB.BaudRate = rate;
    comm.DCB.StopBits = rate == 300u ? TWOSTOPBITS : ONESTOPBIT;
    comm.Open();
    const TLineSettings s = SlaveSettings();
    EXPECT_EQ(s.BaudRate, rate);
    EXPECT_EQ(s.InputRate, rate);
    EXPECT_EQ(s.ExtraStopBit, rate == 300u);
    EXPECT_TRUE(s.Raw);
    EXPECT_FALSE(s.RtsCts || s.XonXoffOut);
    comm.Close();
  }
  comm.fSetFCtrl(TComm32::fcRtsCts);
  comm.Open();
  EXPECT_TRUE(SlaveSettings().RtsCts);
  comm.fSetFCtrl(TComm32::fcXonXoff);  // closes the port
  comm.Open();
  const TLineSettings s = SlaveSettings();
  EXPECT_FALSE(s.RtsCts);
  EXPECT_TRUE(s.XonXoffOut && s.XonXoffIn);
  EXPECT_EQ(s.XonChar, 0x11);
  EXPECT_EQ(s.XoffChar, 0x13);
}

// ------------------------------------------------------------------- data

TEST_F(Engine, OneMebibyteEachWayArrivesUnchanged) {
  constexpr size_t kSize = 1 << 20;
  const std::string out = Pattern(kSize, 1), in = Pattern(kSize, 2);
  comm.Open();

  // Engine to master: queue as the transmit queue takes it.
  // Every loop has a deadline: on a loaded machine one side may give up
  // first, and the test must then fail rather than wait for ever.
  std::string seen;
  std::thread reader([&] { seen = pty.Receive(kSize, 20000); });
  const auto sendDeadline = Clock::now() + 20s;
  for (size_t sent = 0; sent < kSize && Clock::now() < sendDeadline;) {
    const int32_t n = comm.Write(out.data() + sent, static_cast<int32_t>(std::min<size_t>(kSize - sent, 4096)));
    sent += static_cast<size_t>(n);
    if (n == 0) std::this_thread::sleep_for(1ms);
  }
  reader.join();
  EXPECT_EQ(seen.size(), kSize);
  EXPECT_TRUE(seen == out) << "transmitted bytes differ";

  // Master to engine, as fast as the pty takes it: what the receive queue
  // cannot hold waits in the kernel.
  std::thread feeder([&] { pty.Send(in.data(), kSize, 20000); });
  const std::string got = ReadFromEngine(kSize, 20s);
  feeder.join();
  EXPECT_EQ(got.size(), kSize);
  EXPECT_TRUE(got == in) << "received bytes differ";
}

TEST_F(Engine, WriteQueuesWhatFitsDisableWriteStopsWriteButNotCommand) {
  const std::string big(10000, 'x');
  EXPECT_EQ(comm.Write(big.data(), 10000), 8191);  // closed: nothing drains
  comm.OutQueue->Clear();

  comm.DisableWrite = true;
  EXPECT_EQ(comm.Write("abc", 3), 0);
  EXPECT_EQ(comm.Command("AT\r"), 3);
  comm.Open();
  EXPECT_FALSE(comm.DisableWrite);  // cleared by a successful open
  // Bytes queued while closed go out with the next write after the open.
  EXPECT_EQ(comm.Write("+", 1), 1);
  EXPECT_EQ(pty.Receive(4), "AT\r+");

  comm.ResetModem();
  EXPECT_EQ(pty.Receive(4), "ATZ\r");
  comm.Close();
  comm.fSetFCtrl(TComm32::fcRtsCts);
  comm.AutoAnswer = 2;
  comm.Open();
  comm.InitModem();
  EXPECT_EQ(pty.Receive(12), "ATE0&K3S0=2\r");
}

TEST_F(Engine, ReceivedBytesStayReadableAfterCloseAndPurgesActOnlyWhileOpen) {
  comm.Open();
  pty.Send("hello");
  ASSERT_EQ(ReadFromEngine(2), "he");
  comm.Close();
  EXPECT_EQ(ReadFromEngine(3), "llo");

  comm.Write("queued", 6);
  comm.PurgeWrite(true);  // closed: nothing happens
  EXPECT_EQ(comm.OutQueue->Count(), 6);
  comm.OutQueue->Clear();

  comm.Open();
  pty.Send("stale");
  for (const auto end = Clock::now() + 2s; comm.InQueue->Count() < 5 && Clock::now() < end;) std::this_thread::sleep_for(1ms);
  comm.PurgeRead(true);
  EXPECT_EQ(comm.InQueue->Count(), 0);
  pty.Send("fresh");
  EXPECT_EQ(ReadFromEngine(5), "fresh");
}

// ---------------------------------------------------------- notifications

TEST_F(Engine, NotificationsAndCallbacksComeInOrder) {
  rec.Attach(comm);
  comm.Open();
  comm.Open();  // already open: nothing
  pty.Send("x");
  EXPECT_TRUE(rec.WaitFor(EV_RXCHAR));
  comm.Close();
  comm.Close();  // already closed: nothing
  EXPECT_EQ(rec.log, (std::vector<std::string>{"notify 0x38", "after-open", "before-close", "notify 0x38"}));
}

// ... and every exception a callback threw is counted.
TEST_F(Engine, ACallbackThatThrowsDoesNotStopTheReader) {
  std::atomic<int> calls{0}, notifications{0};
  comm.OnCommNotify = [&](TComm32*, int mask) {
    ++notifications;
    if (mask & EV_RXCHAR) ++calls;
    throw std::runtime_error("handler failed");
  };
  comm.OnAfterOpen = [](TComm32*) { throw 42; };
  comm.Open();
  pty.Send("a");
  EXPECT_EQ(ReadFromEngine(1), "a");
  std::this_thread::sleep_for(20ms);
  pty.Send("b");
  EXPECT_EQ(ReadFromEngine(1), "b");
  EXPECT_GE(calls.load(), 2);
  comm.Close();
  EXPECT_EQ(comm.CallbackFailures(), static_cast<uint64_t>(notifications.load()) + 1);  // + OnAfterOpen
}

// EV_TXEMPTY means "everything queued has left": one per drain of the
// queue and the port, however many pieces the writer needed.
TEST_F(Engine, TransmitEmptyComesOncePerDrain) {
  rec.Attach(comm);
  comm.Open();
  // {rounds, bytes}: one write that fills the queue; three writes, each drained.
  for (auto [rounds, bytes] : {std::pair{1, 8191}, std::pair{3, 1000}}) {
    SCOPED_TRACE(rounds);
    const int before = rec.CountWith(EV_TXEMPTY);
    for (int i = 0; i < rounds; ++i) {
      const std::string data = Pattern(static_cast<size_t>(bytes), static_cast<unsigned>(i));
      ASSERT_EQ(comm.Write(data.data(), bytes), bytes);
      EXPECT_TRUE(pty.Receive(data.size()) == data);
      ASSERT_TRUE(rec.WaitFor(EV_TXEMPTY, before + i + 1));
    }
    std::this_thread::sleep_for(100ms);  // a late extra one would show here
    EXPECT_EQ(rec.CountWith(EV_TXEMPTY), before + rounds);
    EXPECT_EQ(comm.OutQueue->Count(), 0);
  }

  // Replies written from the reader's own notification, as a framer or an
  // asynchronous client writes them: one each too.
  comm.Close();
  std::atomic<int> empties{0};
  comm.OnCommNotify = [&](TComm32*, int mask) {
    char b[64];
    int32_t n;
    if (mask & EV_RXCHAR)
      while ((n = comm.Read(b, sizeof b)) > 0) comm.Write(b, n);
    if (mask & EV_TXEMPTY) empties.fetch_add(1);
  };
  comm.Open();
  for (int i = 0; i < 3; ++i) {
    pty.Send("ping");
    EXPECT_EQ(pty.Receive(4), "ping");
    for (auto deadline = Clock::now() + 2s; empties.load() <= i && Clock::now() < deadline;)
      std::this_thread::sleep_for(1ms);
  }
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(empties.load(), 3);
  comm.Close();
}

// Bytes that find the receive queue full wait in the kernel until Read makes
// room: none is lost and no error is reported.
TEST_F(Engine, BytesBeyondAFullReceiveQueueWaitInTheKernel) {
  rec.Attach(comm);
  comm.InQueue->fSetBufSize(1024);
  comm.Open();
  const std::string data = Pattern(256 * 1024, 7);
  std::atomic<bool> sent{false};
  std::thread sender([&] { sent = pty.Send(data.data(), data.size(), 20000); });
  std::this_thread::sleep_for(300ms);  // nobody reads: the queue fills, then the kernel's buffers
  EXPECT_EQ(comm.InQueue->Count(), 1023);
  const std::string got = ReadFromEngine(data.size(), 20s);
  sender.join();
  EXPECT_TRUE(sent);
  EXPECT_EQ(got.size(), data.size());
  EXPECT_TRUE(got == data) << "received bytes differ";
  EXPECT_EQ(rec.CountWith(EV_ERR), 0);
  EXPECT_EQ(comm.fGetOverruns(), 0u);
}

// --------------------------------------------------------- stop and leaks

TEST_F(Engine, ThreadsStopPromptlyAndCyclesLeakNothing) {
  comm.Open();
  const auto t0 = Clock::now();
  comm.Close();
  EXPECT_LT(Clock::now() - t0, 500ms);

  // Counted after a first cycle, which may start helper threads of a
  // sanitizer runtime, and after a pause: a joined thread may still be
  // listed in /proc for a moment while the kernel reaps it. The final count
  // is given the same moment; a leak would not go away.
  std::this_thread::sleep_for(100ms);
  const int fds = CountEntries("/proc/self/fd"), tasks = CountEntries("/proc/self/task");
  for (int i = 0; i < 500; ++i) {
    comm.Open();
    if (i % 50 == 0) comm.Write("p", 1);
    comm.Close();
  }
  EXPECT_EQ(CountEntries("/proc/self/fd"), fds);
  for (int i = 0; i < 100 && CountEntries("/proc/self/task") != tasks; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(CountEntries("/proc/self/task"), tasks);
}

TEST_F(Engine, CloseGivesUpOnAStuckReaderWithoutPullingItsPortAway) {
  // A notification handler that hangs keeps the reader from stopping.
  std::mutex m;
  std::condition_variable cv;
  bool release = false, entered = false;
  comm.OnCommNotify = [&](TComm32*, int mask) {
    if (!(mask & EV_RXCHAR)) return;
    std::unique_lock<std::mutex> l(m);
    entered = true;
    cv.notify_all();
    cv.wait_for(l, 5s, [&] { return release; });
  };
  comm.Open();
  pty.Send("x");
  {
    std::unique_lock<std::mutex> l(m);
    ASSERT_TRUE(cv.wait_for(l, 2s, [&] { return entered; }));
  }
  const auto t0 = Clock::now();
  try {
    comm.Close();
    ADD_FAILURE() << "Close waited for a stuck reader";
  } catch (const EComm32Error& e) {
    EXPECT_EQ(e.ErrorCode, ecCloseReadThread);
  }
  EXPECT_EQ(comm.StopFailures(), 1u);
  EXPECT_LT(Clock::now() - t0, 1s);
  EXPECT_FALSE(comm.Active);
  EXPECT_EQ(comm.Handle, -1);
  // While the old reader runs, no second one may fill the receive queue.
  EXPECT_TRUE(OpenError(comm));
  {
    std::lock_guard<std::mutex> l(m);
    release = true;
  }
  cv.notify_all();
  const auto deadline = Clock::now() + 2s;
  while (!comm.Active && Clock::now() < deadline)
    if (OpenError(comm)) std::this_thread::sleep_for(10ms);
  EXPECT_TRUE(comm.Active);
  EXPECT_EQ(ReadFromEngine(1), "x");
  comm.Close();  // before the handler's locals go
}

// A thread that has not stopped after half a second but is running (a long
// handler, or a processor held by other programs) is waited for; only a
// blocked one, as above, is given up on. Cycles with bytes flowing while
// every core is busy end without an error.
TEST_F(Engine, CloseWaitsForAThreadThatRunsEvenOnABusyMachine) {
  std::atomic<bool> entered{false};
  comm.OnCommNotify = [&](TComm32*, int mask) {
    if (!(mask & EV_RXCHAR) || entered.exchange(true)) return;
    const auto until = Clock::now() + 800ms;
    while (Clock::now() < until) {
    }
  };
  comm.Open();
  pty.Send("x");
  for (auto deadline = Clock::now() + 2s; !entered && Clock::now() < deadline;) std::this_thread::sleep_for(1ms);
  ASSERT_TRUE(entered);
  const auto t0 = Clock::now();
  EXPECT_NO_THROW(comm.Close());
  EXPECT_GT(Clock::now() - t0, 500ms);
  EXPECT_LT(Clock::now() - t0, 3s);

  comm.OnCommNotify = [&](TComm32*, int mask) {
    char buf[256];
    if (mask & EV_RXCHAR)
      while (comm.Read(buf, sizeof buf) > 0) {
      }
  };
  std::atomic<bool> busy{true};
  std::vector<std::thread> hogs;
  for (unsigned i = 0; i < 2 * std::max(1u, std::thread::hardware_concurrency()); ++i)
    hogs.emplace_back([&] {
      while (busy.load(std::memory_order_relaxed)) {
      }
    });
  const std::string burst(64, 'b');
  int errors = 0;
  for (int i = 0; i < 60; ++i) {
    comm.Open();
    pty.Send(burst);
    comm.Write(burst.data(), static_cast<int32_t>(burst.size()));
    try {
      comm.Close();
    } catch (const EComm32Error& e) {
      ++errors;
      ADD_FAILURE() << "cycle " << i << ": " << e.what();
    }
    pty.Receive(burst.size(), 0);
  }
  busy = false;
  for (std::thread& t : hogs) t.join();
  EXPECT_EQ(errors, 0);
}

TEST_F(Engine, AVanishingDeviceIsReportedOnceAndCostsNoCpu) {
  rec.Attach(comm);
  comm.Open();
  pty.CloseMaster();  // as an unplugged adapter
  ::close(pty.Slave);
  pty.Slave = -1;
  ASSERT_TRUE(rec.WaitFor(EV_ERR));

  rusage before{}, after{};
  ::getrusage(RUSAGE_SELF, &before);
  std::this_thread::sleep_for(1s);
  ::getrusage(RUSAGE_SELF, &after);
  auto seconds = [](const rusage& u) {
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
  };
  EXPECT_LT(seconds(after) - seconds(before), 0.05);
  comm.Write("lost", 4);  // writing to a gone device must not spin either
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(rec.CountWith(EV_ERR), 1);
  comm.Close();
  EXPECT_FALSE(comm.Active);
}

// ------------------------------------------------------------- properties

TEST_F(Engine, DtrAndRtsWishesWhileClosed) {
  // Setting the flow control closes and rewrites the DTR control of the
  // record, which brings the stored DTR wish back to true.
  comm.fSetDTR(false);
  comm.fSetFCtrl(TComm32::fcNone);
  comm.Open();
  EXPECT_EQ(comm.DCB.fDtrControl, DTR_CONTROL_ENABLE);
  EXPECT_TRUE(comm.fGetDTR());
  comm.Close();

  comm.fSetDTR(false);
  EXPECT_FALSE(comm.fGetDTR());  // closed: always false
  comm.Open();
  EXPECT_EQ(comm.DCB.fDtrControl, DTR_CONTROL_DISABLE);
  EXPECT_FALSE(comm.fGetDTR());
  EXPECT_TRUE(comm.fGetRTS());
}

TEST_F(Engine, EscapeFunctionsOnlyWhileOpen) {
  EXPECT_FALSE(comm.EscapeCommFunction(SETBREAK));
  comm.Open();
  EXPECT_TRUE(comm.EscapeCommFunction(SETBREAK));
  EXPECT_TRUE(comm.EscapeCommFunction(CLRBREAK));
  // A pseudo-terminal has no modem lines: the call fails, the state stays.
  EXPECT_FALSE(comm.EscapeCommFunction(CLRDTR));
  EXPECT_TRUE(comm.fGetDTR());
  EXPECT_TRUE(comm.Active);
}

TEST_F(Engine, FlowControlSetterClosesAndReadsBackFromTheRecord) {
  rec.Attach(comm);
  comm.Open();
  comm.fSetFCtrl(TComm32::fcTranXonXoff);
  EXPECT_FALSE(comm.Active);
  EXPECT_EQ(rec.log, (std::vector<std::string>{"notify 0x38", "after-open", "before-close", "notify 0x38"}));
  EXPECT_EQ(comm.fGetFCtrl(), TComm32::fcTranXonXoff);
  EXPECT_TRUE(comm.DCB.fOutX && comm.DCB.fInX);
  comm.DCB.fOutX = 0;  // the record decides: no XON/XOFF in it, none read back
  EXPECT_EQ(comm.fGetFCtrl(), TComm32::fcNone);
  comm.fSetFCtrl(TComm32::fcRtsCtsXonXoff);
  EXPECT_EQ(comm.fGetFCtrl(), TComm32::fcRtsCtsXonXoff);
  comm.fSetFCtrl(static_cast<TComm32::TFlowControl>(2));  // not a &K value: none
  EXPECT_EQ(comm.fGetFCtrl(), TComm32::fcNone);

  // Under RTS/CTS the RTS wish does not override the handshake.
  comm.fSetFCtrl(TComm32::fcRtsCts);
  comm.fSetRTS(false);
  comm.Open();
  EXPECT_EQ(comm.DCB.fRtsControl, RTS_CONTROL_HANDSHAKE);
  EXPECT_TRUE(comm.fGetRTS());
}

// A 0-byte read is "nothing now", not a lost device: purges that flush the
// bytes the reader had just counted must not leave the port deaf.
TEST_F(Engine, ReadPurgesWhileBytesPourInNeverLeaveThePortDeaf) {
  rec.Attach(comm);
  comm.Open();
  std::atomic<bool> feeding{true};
  std::thread feeder([&] {
    const std::string chunk(64, 'z');
    const auto deadline = Clock::now() + 10s;
    while (feeding.load() && Clock::now() < deadline) {
      if (::write(pty.Master, chunk.data(), chunk.size()) < 0) std::this_thread::sleep_for(100us);
    }
  });
  const auto end = Clock::now() + 2s;
  int purges = 0;
  while (Clock::now() < end) {
    comm.PurgeRead(false);
    ++purges;
  }
  feeding = false;
  feeder.join();
  std::this_thread::sleep_for(50ms);
  comm.PurgeRead(false);
  EXPECT_EQ(rec.CountWith(EV_ERR), 0) << "after " << purges << " purges";
  pty.Send("after");
  EXPECT_EQ(ReadFromEngine(5), "after");
}

// A PurgeWrite that gave up waiting is withdrawn, so no late answer can end
// the next PurgeWrite before its own purge has run.
TEST_F(Engine, APurgeThatTimedOutNeitherRunsLateNorAnswersTheNext) {
  comm.Open();
  const std::string chunk(4096, 'q');
  // The master reads nothing, so the writer blocks on a full pty and the
  // queue keeps what it holds until a purge.
  auto fillUntilStuck = [&] {
    int32_t last = -1;
    for (int i = 0; i < 200; ++i) {
      comm.Write(chunk.data(), 4096);
      std::this_thread::sleep_for(5ms);
      const int32_t now = comm.OutQueue->Count();
      if (now > 0 && now == last) return true;
      last = now;
    }
    return false;
  };
  for (int round = 0; round < 10; ++round) {
    SCOPED_TRACE(round);
    ASSERT_TRUE(fillUntilStuck());
    comm.PurgeWaitMs = 0;  // gives up at once, unless the writer was quicker
    comm.PurgeWrite(false);
    std::this_thread::sleep_for(20ms);  // time for a late answer

    // The port's flush let the writer go on: stuck again, then purged.
    ASSERT_TRUE(fillUntilStuck());
    comm.PurgeWaitMs = 500;
    comm.PurgeWrite(false);
    EXPECT_EQ(comm.OutQueue->Count(), 0);
  }
  // The line still works: drain what the pty held, then a new write arrives whole.
  for (int i = 0; i < 100 && !pty.Receive(65536, 100).empty(); ++i) {
  }
  comm.Write("after", 5);
  EXPECT_EQ(pty.Receive(5), "after");
}

// On a device with modem lines the reader polls them every 10 ms, but only
// while someone wants to hear of them: otherwise it sleeps until data comes.
TEST_F(Engine, ModemLinesArePolledOnlyWhileSomeoneListensForThem) {
  const struct Case {
    const char* name;
    bool listener;
    uint32_t maskAtOpen, maskAfterOpen;
    TComm32::TFlowControl flow;
    bool polls;
  } cases[] = {
      {"nobody listens", false, 0x04BF, 0x04BF, TComm32::fcNone, false},
      {"a listener without line events", true, 0x0087, 0x0087, TComm32::fcNone, false},
      {"a listener of line events", true, 0x04BF, 0x04BF, TComm32::fcNone, true},
      {"CTS flow control", false, 0x0087, 0x0087, TComm32::fcRtsCts, true},
      {"a listener that stops asking while open", true, 0x04BF, 0x0087, TComm32::fcNone, false},
  };
  comm.ModemLineReader = &FakeLines;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    comm.Close();
    comm.fSetFCtrl(c.flow);
    comm.OnCommNotify = nullptr;
    if (c.listener) rec.Attach(comm);
    comm.fSetNotifyMask(c.maskAtOpen);
    gFakeLines = 0;
    comm.Open();
    comm.fSetNotifyMask(c.maskAfterOpen);
    std::this_thread::sleep_for(50ms);
    const uint64_t before = comm.EventWaitWakeups();
    std::this_thread::sleep_for(500ms);
    const uint64_t wakes = comm.EventWaitWakeups() - before;
    if (c.polls) EXPECT_GE(wakes, 20u);
    else EXPECT_LE(wakes, 2u);
    if (c.listener && c.polls) {
      const int notified = rec.CountWith(EV_CTS);
      gFakeLines = TIOCM_CTS;
      EXPECT_TRUE(rec.WaitFor(EV_CTS, notified + 1));
      EXPECT_TRUE(comm.ModemStatus & MS_CTS_ON);
    }
  }
  comm.Close();
}

// The timer thread reads the modem lines every TimerInterval: a change of
// the carrier is reported at once (EV_RLSD) and kept in ModemStatus, the ring
// indicator (EV_RING) only while there is no carrier and at most once every
// RingInterval + 1 ticks, and lines that cannot be read change nothing.
// Progress is counted in ticks (reads of the lines), not in time.
TEST_F(Engine, TheTimerReportsCarrierChangesAndRingsOnlyWithoutCarrier) {
  const struct Case {
    const char* name;
    int lines;
    int carrierEvents;
    bool rings;
    bool carrier;  // in ModemStatus afterwards
  } cases[] = {
      {"carrier comes", TIOCM_CD, 1, false, true},
      {"ringing with carrier", TIOCM_CD | TIOCM_RI, 0, false, true},
      {"lines unreadable", kUnreadable, 0, false, true},
      {"carrier goes while ringing", TIOCM_RI, 1, true, false},
      {"ringing stops", 0, 0, false, false},
  };
  constexpr uint64_t kTicks = 12;
  comm.ModemLineReader = &CountedLines;
  comm.TimerInterval = 5;
  comm.RingInterval = 2;                    // a ring at most every third tick
  comm.fSetNotifyMask(EV_RXCHAR | EV_ERR);  // the reader leaves the lines to the timer
  rec.Attach(comm);
  gTimerLines = 0;
  comm.Open();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const int carrierBefore = rec.CountWith(EV_RLSD), ringsBefore = rec.CountWith(EV_RING);
    gTimerLines = c.lines;
    const uint64_t start = gTimerLineReads.load();
    const auto deadline = Clock::now() + 10s;
    while (gTimerLineReads.load() < start + kTicks && Clock::now() < deadline) std::this_thread::sleep_for(5ms);
    const uint64_t ticks = gTimerLineReads.load() - start;
    ASSERT_GE(ticks, kTicks);
    EXPECT_EQ(rec.CountWith(EV_RLSD) - carrierBefore, c.carrierEvents);
    EXPECT_EQ((comm.ModemStatus.load() & MS_RLSD_ON) != 0, c.carrier);
    const int rings = rec.CountWith(EV_RING) - ringsBefore;
    if (c.rings) {
      EXPECT_GE(rings, 2);
      EXPECT_LE(static_cast<uint64_t>(rings), ticks / 3 + 1);
    } else {
      EXPECT_EQ(rings, 0);
    }
  }
  comm.Close();
}

// Bytes the kernel lost (its counters rise) are counted, marked for
// ClearCommErrors and reported as EV_ERR; losses from before the open are not.
TEST_F(Engine, KernelLossesRaiseTheErrorEventAndAreCounted) {
  struct Case {
    const char* name;
    uint64_t overrun, buffer;
    uint32_t marks;
  } const cases[] = {{"UART overrun", 3, 0, CE_OVERRUN}, {"tty buffer overflow", 0, 2, CE_RXOVER},
                     {"both", 1, 1, CE_OVERRUN | CE_RXOVER}};
  gOverruns = 100;  // before the open
  comm.LossReader = &FakeLosses;
  rec.Attach(comm);
  comm.Open();
  uint64_t total = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const int errors = rec.CountWith(EV_ERR);
    gOverruns += c.overrun;
    gBufferOverruns += c.buffer;
    total += c.overrun + c.buffer;
    pty.Send("x");  // the counters are read after each receipt
    EXPECT_EQ(ReadFromEngine(1), "x");
    EXPECT_TRUE(rec.WaitFor(EV_ERR, errors + 1));
    EXPECT_EQ(rec.CountWith(EV_ERR), errors + 1);
    EXPECT_EQ(comm.fGetOverruns(), total);
    EXPECT_EQ(comm.ClearCommErrors(), c.marks);
    EXPECT_EQ(comm.ClearCommErrors(), 0u);
  }
  comm.Close();
}
