// The serial port engine over real pseudo-terminals: opening and its
// failures, line settings as the other side sees them, data both ways,
// notifications, stopping without leaks, a vanishing device, and the
// DTR/RTS/flow control properties.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <numeric>
#include <random>
#include <thread>

#include "AppLang.h"
#include "Charset.h"
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
  int CountWith(int bit) {
    std::lock_guard<std::mutex> l(m);
    return static_cast<int>(std::count_if(masks.begin(), masks.end(), [&](int x) { return x & bit; }));
  }
  bool WaitFor(int bit, std::chrono::milliseconds limit = 2000ms) {
    std::unique_lock<std::mutex> l(m);
    return cv.wait_for(l, limit, [&] { return std::any_of(masks.begin(), masks.end(), [&](int x) { return x & bit; }); });
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

std::string Pattern(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

}  // namespace

// ---------------------------------------------------------------- opening

TEST_F(Engine, UnmappedPortFailsWithCode4InTheUsersLanguageAndLeavesNothingBehind) {
  const int fds = CountEntries("/proc/self/fd"), tasks = CountEntries("/proc/self/task");
  const TQuarlFuncs::TAppLang saved = TQuarlFuncs::AppLang;
  comm.SetPortNo(7);
  for (auto [lang, text] : {std::pair{TQuarlFuncs::ltSimplified, "不能打开端口"},
                            std::pair{TQuarlFuncs::ltWestern, "Cannot open COM port"}}) {
    TQuarlFuncs::AppLang.fSetLangType(lang);
    try {
      comm.Open();
      FAIL() << "opened an unmapped port";
    } catch (const EComm32Error& e) {
      EXPECT_EQ(e.ErrorCode, ecOpenPort);
      EXPECT_EQ(e.MessageUtf8(), text);
    }
    EXPECT_FALSE(comm.Active);
    EXPECT_EQ(comm.Handle, -1);
  }
  TQuarlFuncs::AppLang = saved;
  EXPECT_EQ(CountEntries("/proc/self/fd"), fds);
  EXPECT_EQ(CountEntries("/proc/self/task"), tasks);

  // Once the number leads somewhere, the same engine opens.
  comm.PortMap = std::make_shared<TFixedPortMap>(std::vector<TPortEntry>{{7, pty.Path}});
  comm.Open();
  EXPECT_TRUE(comm.Active);
  comm.Close();
}

TEST_F(Engine, MissingOrBusyDeviceFailsWithCode4AndTheSystemsReason) {
  comm.PortMap = std::make_shared<TFixedPortMap>(std::vector<TPortEntry>{{1, "/nonexistent/ttyX"}});
  try {
    comm.Open();
    FAIL();
  } catch (const EComm32Error& e) {
    EXPECT_EQ(e.ErrorCode, ecOpenPort);
    EXPECT_EQ(e.OsError, ENOENT);
  }
  comm.PortMap = std::make_shared<TFixedPortMap>(std::vector<TPortEntry>{{1, pty.Path}});
  comm.Open();
  TComm32 second;
  second.PortMap = comm.PortMap;
  second.SetPortNo(1);
  try {
    second.Open();
    FAIL() << "a port was opened twice";
  } catch (const EComm32Error& e) {
    EXPECT_EQ(e.ErrorCode, ecOpenPort);
    EXPECT_EQ(e.OsError, EBUSY);
  }
  comm.Close();
  second.Open();  // free again once the first engine closed it
  EXPECT_TRUE(second.Active);
}

TEST_F(Engine, SettingsTheDeviceRefusesFailWithCode8) {
  comm.DCB.ByteSize = 9;
  try {
    comm.Open();
    FAIL();
  } catch (const EComm32Error& e) {
    EXPECT_EQ(e.ErrorCode, ecSetParams);
  }
  EXPECT_FALSE(comm.Active);
  comm.DCB.ByteSize = 8;
  comm.DCB.StopBits = ONE5STOPBITS;  // 1.5 stop bits need 5 data bits
  EXPECT_THROW(comm.Open(), EComm32Error);
  comm.DCB.ByteSize = 5;
  comm.Open();
  EXPECT_TRUE(SlaveSettings().ExtraStopBit);
}

// ---------------------------------------------------------- line settings

TEST_F(Engine, LineSettingsAsTheOtherSideSeesThem) {
  comm.Open();
  TLineSettings s = SlaveSettings();
  EXPECT_EQ(s.BaudRate, 19200u);
  EXPECT_EQ(s.InputRate, 19200u);
  EXPECT_EQ(s.DataBits, 8);
  EXPECT_EQ(s.Parity, 'N');
  EXPECT_FALSE(s.ExtraStopBit);
  EXPECT_FALSE(s.RtsCts);
  EXPECT_FALSE(s.XonXoffOut);
  EXPECT_TRUE(s.Raw);
  comm.Close();

  comm.DCB.BaudRate = 256000;
  comm.DCB.Parity = ODDPARITY;
  comm.DCB.StopBits = TWOSTOPBITS;
  comm.Open();
  s = SlaveSettings();
  EXPECT_EQ(s.BaudRate, 256000u);
  EXPECT_EQ(s.InputRate, 256000u);
  EXPECT_TRUE(s.ExtraStopBit);
  // The pty driver itself forces 8 bits without parity, so the parity cannot
  // be seen from this side of a pty.
  EXPECT_EQ(s.DataBits, 8);
  comm.Close();
}

TEST_F(Engine, EveryRateOfTheBaudTableIsSetExactly) {
  for (uint32_t rate : {110u, 300u, 600u, 1200u, 2400u, 4800u, 9600u, 14400u, 19200u, 38400u, 56000u, 57600u,
                        115200u, 128000u, 256000u}) {
    comm.DCB.BaudRate = rate;
    comm.Open();
    EXPECT_EQ(SlaveSettings().BaudRate, rate);
    comm.Close();
  }
}

TEST_F(Engine, FlowControlReachesTheLine) {
  comm.fSetFCtrl(TComm32::fcRtsCts);
  comm.Open();
  TLineSettings s = SlaveSettings();
  EXPECT_TRUE(s.RtsCts);
  EXPECT_FALSE(s.XonXoffOut);
  comm.fSetFCtrl(TComm32::fcXonXoff);  // closes the port
  EXPECT_FALSE(comm.Active);
  comm.Open();
  s = SlaveSettings();
  EXPECT_FALSE(s.RtsCts);
  EXPECT_TRUE(s.XonXoffOut);
  EXPECT_TRUE(s.XonXoffIn);
  EXPECT_EQ(s.XonChar, 0x11);
  EXPECT_EQ(s.XoffChar, 0x13);
}

// ------------------------------------------------------------------- data

TEST_F(Engine, OneMebibyteEachWayArrivesUnchanged) {
  constexpr size_t kSize = 1 << 20;
  const std::string out = Pattern(kSize, 1), in = Pattern(kSize, 2);
  comm.Open();

  // Engine to master: queue as the transmit queue takes it.
  std::string seen;
  std::thread reader([&] { seen = pty.Receive(kSize, 20000); });
  for (size_t sent = 0; sent < kSize;) {
    const int32_t n = comm.Write(out.data() + sent, static_cast<int32_t>(std::min<size_t>(kSize - sent, 4096)));
    sent += static_cast<size_t>(n);
    if (n == 0) std::this_thread::sleep_for(1ms);
  }
  reader.join();
  EXPECT_EQ(seen.size(), kSize);
  EXPECT_TRUE(seen == out) << "transmitted bytes differ";

  // Master to engine: never more in flight than the receive queue holds,
  // since the reader drops what does not fit.
  std::atomic<size_t> consumed{0};
  std::thread feeder([&] {
    for (size_t fed = 0; fed < kSize;) {
      if (fed - consumed.load() >= 4096) {
        std::this_thread::sleep_for(200us);
        continue;
      }
      const size_t n = std::min<size_t>(1024, kSize - fed);
      pty.Send(in.data() + fed, n);
      fed += n;
    }
  });
  std::string got;
  char buf[4096];
  const auto deadline = Clock::now() + 20s;
  while (got.size() < kSize && Clock::now() < deadline) {
    const int32_t r = comm.Read(buf, sizeof buf);
    if (r > 0) {
      got.append(buf, static_cast<size_t>(r));
      consumed.store(got.size());
    } else {
      std::this_thread::sleep_for(200us);
    }
  }
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
  while (comm.InQueue->Count() < 5) std::this_thread::sleep_for(1ms);
  comm.PurgeRead(true);
  EXPECT_EQ(comm.InQueue->Count(), 0);
  pty.Send("fresh");
  EXPECT_EQ(ReadFromEngine(5), "fresh");
}

TEST_F(Engine, PurgeWriteDropsWhatWaitsWhileTheWriterIsBlocked) {
  comm.Open();
  // Fill the pty until the writer is stuck on a full buffer, then purge.
  const std::string chunk(4096, 'q');
  for (int i = 0; i < 40; ++i) {
    comm.Write(chunk.data(), 4096);
    std::this_thread::sleep_for(2ms);
  }
  ASSERT_GT(comm.OutQueue->Count(), 0);
  comm.PurgeWrite(true);
  EXPECT_EQ(comm.OutQueue->Count(), 0);
  // The line still works: drain what the pty held, then a new write arrives whole.
  while (!pty.Receive(65536, 100).empty()) {
  }
  comm.Write("after", 5);
  EXPECT_EQ(pty.Receive(5), "after");
}

// ---------------------------------------------------------- notifications

TEST_F(Engine, NotificationsAndCallbacksComeInOrder) {
  Recorder& r = rec;
  r.Attach(comm);
  comm.Open();
  comm.Open();  // already open: nothing
  pty.Send("x");
  EXPECT_TRUE(r.WaitFor(EV_RXCHAR));
  comm.Close();
  comm.Close();  // already closed: nothing
  const std::vector<std::string> want = {"notify 0x38", "after-open", "before-close", "notify 0x38"};
  EXPECT_EQ(r.log, want);
}

TEST_F(Engine, ACallbackThatThrowsDoesNotStopTheReader) {
  std::atomic<int> calls{0};
  comm.OnCommNotify = [&](TComm32*, int mask) {
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
}

TEST_F(Engine, TransmitEmptyIsReportedWhenTheQueueHasGoneOut) {
  Recorder& r = rec;
  r.Attach(comm);
  comm.Open();
  const std::string data(3000, 'z');
  comm.Write(data.data(), 3000);
  EXPECT_EQ(pty.Receive(3000).size(), 3000u);
  EXPECT_TRUE(r.WaitFor(EV_TXEMPTY));
  EXPECT_EQ(comm.OutQueue->Count(), 0);
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
    FAIL() << "Close waited for a stuck reader";
  } catch (const EComm32Error& e) {
    EXPECT_EQ(e.ErrorCode, ecCloseReadThread);
  }
  EXPECT_LT(Clock::now() - t0, 1s);
  EXPECT_FALSE(comm.Active);
  EXPECT_EQ(comm.Handle, -1);
  // While the old reader runs, no second one may fill the receive queue.
  EXPECT_THROW(comm.Open(), EComm32Error);
  {
    std::lock_guard<std::mutex> l(m);
    release = true;
  }
  cv.notify_all();
  const auto deadline = Clock::now() + 2s;
  while (!comm.Active && Clock::now() < deadline) {
    try {
      comm.Open();
    } catch (const EComm32Error&) {
      std::this_thread::sleep_for(10ms);
    }
  }
  EXPECT_TRUE(comm.Active);
  EXPECT_EQ(ReadFromEngine(1), "x");
  comm.Close();  // before the handler's locals go
}

TEST_F(Engine, AVanishingDeviceIsReportedOnceAndCostsNoCpu) {
  Recorder& r = rec;
  r.Attach(comm);
  comm.Open();
  pty.CloseMaster();  // as an unplugged adapter
  ::close(pty.Slave);
  pty.Slave = -1;
  ASSERT_TRUE(r.WaitFor(EV_ERR));

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
  EXPECT_EQ(r.CountWith(EV_ERR), 1);
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

TEST_F(Engine, FlowControlSetterClosesAndReadsBackFromTheRecord) {
  Recorder& r = rec;
  r.Attach(comm);
  comm.Open();
  comm.fSetFCtrl(TComm32::fcTranXonXoff);
  EXPECT_FALSE(comm.Active);
  EXPECT_EQ(r.log, (std::vector<std::string>{"notify 0x38", "after-open", "before-close", "notify 0x38"}));
  EXPECT_EQ(comm.fGetFCtrl(), TComm32::fcTranXonXoff);
  EXPECT_TRUE(comm.DCB.fOutX && comm.DCB.fInX);
  comm.DCB.fOutX = 0;  // the record decides: no XON/XOFF in it, none read back
  EXPECT_EQ(comm.fGetFCtrl(), TComm32::fcNone);
  comm.fSetFCtrl(TComm32::fcXonXoff);
  EXPECT_EQ(comm.fGetFCtrl(), TComm32::fcXonXoff);
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

TEST_F(Engine, EscapeFunctionsOnlyWhileOpen) {
  EXPECT_FALSE(comm.EscapeCommFunction(SETBREAK));
  comm.Open();
  EXPECT_TRUE(comm.EscapeCommFunction(SETBREAK));
  EXPECT_TRUE(comm.EscapeCommFunction(CLRBREAK));
  EXPECT_TRUE(comm.fGetDTR());
  EXPECT_TRUE(comm.fGetRTS());
  // A pseudo-terminal has no modem lines: the call fails, the state stays.
  EXPECT_FALSE(comm.EscapeCommFunction(CLRDTR));
  EXPECT_TRUE(comm.fGetDTR());
  EXPECT_TRUE(comm.Active);
}
