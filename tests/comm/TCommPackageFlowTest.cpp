// The framer over a real engine and pseudo-terminal, beyond the line format:
// packages ended by a pause and their timing, full queues, switching off and
// on, packages larger than the engine's transmit queue, size settings,
// notifications, and the framer's own thread.
#include <gtest/gtest.h>
#include <poll.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <thread>

#include "FramerRig.h"

using namespace framer_test;

namespace {

// Offers a package of one byte; what the framer took of it.
unsigned long WriteOne(TCommPackage& pkg, uint8_t b) { return pkg.WritePackage(&b, 1); }

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

Clock::duration ProcessCpuTime() {
  timespec ts{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
}

}  // namespace

// ---------------------------------------------------------------- timeout type

// A package closes one interval after its last byte, as a timer restarted on
// each byte would close it, wherever the bytes fall: pieces less than an
// interval apart make one package, with one notification and none for bytes
// alone. Never before the interval; the median within a few milliseconds of
// it (waits counted in whole intervals would give about 75 ms); each at most
// 150 ms. Those figures hold only while the machine keeps the pace: a round
// counts when its pieces went out less than an interval apart and no thread
// of the process was held up meanwhile (a probe thread sees how late its own
// short sleeps end). On a loaded machine more rounds are made, within a
// limit; every round must still deliver its bytes whole and in order.
TEST_F(Framer, APackageClosesOneIntervalAfterItsLastByte) {
  Start(cptFrameTimeout);
  std::atomic<bool> probing{true};
  std::atomic<int64_t> worstStallUs{0};
  std::thread probe([&] {
    for (auto last = Clock::now(); probing.load(std::memory_order_relaxed);) {
      std::this_thread::sleep_for(2ms);
      const auto now = Clock::now();
      const int64_t us = std::chrono::duration_cast<std::chrono::microseconds>(now - last).count();
      if (us > worstStallUs.load(std::memory_order_relaxed)) worstStallUs.store(us, std::memory_order_relaxed);
      last = now;
    }
  });
  constexpr size_t kPackages = 6;
  std::vector<double> delays;
  size_t packages = 0;
  for (unsigned round = 0; delays.size() < kPackages && round < 40; ++round) {
    SCOPED_TRACE(testing::Message() << "round " << round);
    std::this_thread::sleep_for(round % kPackages * 7ms);
    worstStallUs.store(0, std::memory_order_relaxed);
    // Three pieces less than an interval apart make one package. On pace:
    // the engine took each piece within 15 ms of its write and less than
    // 40 ms after the piece before.
    Clock::time_point sent, received;
    bool paced = true;
    Bytes want;
    for (unsigned piece = 0; piece < 3; ++piece) {
      if (piece > 0) std::this_thread::sleep_for(20ms);
      // Taken before the write: the reader may take the bytes before this
      // thread runs again.
      sent = Clock::now();
      const Bytes b = Pattern(20, round * 3 + piece);
      want.insert(want.end(), b.begin(), b.end());
      SendAndSettle(b);
      const Clock::time_point receipt = comm.LastReceiveTime();
      if (receipt - sent > 15ms || (piece > 0 && receipt - received > 40ms)) paced = false;
      received = receipt;
    }
    // Every byte of the round comes out, in one package or (off pace) more.
    Bytes got;
    const size_t first = packages;
    while (got.size() < want.size()) {
      ASSERT_TRUE(WaitQueued(1));
      const Bytes p = *Take();
      got.insert(got.end(), p.begin(), p.end());
      ++packages;
    }
    ASSERT_EQ(got, want);
    ASSERT_TRUE(sig.WaitUntil([&] { return sig.packageTimes.size() >= packages; }));
    if (!paced || worstStallUs.load(std::memory_order_relaxed) > 30000) continue;
    EXPECT_EQ(packages - first, 1u);
    std::lock_guard lock(sig.m);
    delays.push_back(Ms(sig.packageTimes[first] - sent));
    EXPECT_GE(delays.back(), 49.0);
    EXPECT_LE(delays.back(), 150.0);
  }
  probing = false;
  probe.join();
  ASSERT_EQ(delays.size(), kPackages) << "the machine did not keep the pace in 40 rounds";
  std::sort(delays.begin(), delays.end());
  EXPECT_LE(delays[kPackages / 2], 60.0);
  EXPECT_EQ(sig.PackageNotifies(kRxChar), int(packages));
}

// The timer thread sleeps while no package is under way: it wakes for the
// first bytes of a package and for its end, never while idle, and not at
// all while the link is closed or the package type needs no timer.
TEST_F(Framer, TheTimerThreadSleepsWhileNoPackageIsUnderWay) {
  // {type, link open}: the timeout type open and closed; frame marks open.
  for (auto [type, open] : {std::pair{cptFrameTimeout, true}, {cptFrameTimeout, false}, {cptFrameHeadTail, true}}) {
    SCOPED_TRACE(testing::Message() << "type " << int(type) << (open ? ", open" : ", closed"));
    comm.Close();
    pkg->fSetPkgType(type);
    pkg->fSetActive(true);
    if (open) comm.Open();
    std::this_thread::sleep_for(50ms);
    const uint64_t before = pkg->TimerWakeups();
    std::this_thread::sleep_for(400ms);
    EXPECT_LE(pkg->TimerWakeups() - before, 1u);
  }
  // A package costs a handful of wake-ups: its first bytes, its end.
  const uint64_t before = pkg->TimerWakeups();
  comm.Close();
  Start(cptFrameTimeout);
  Send(Pattern(100, 9));
  ASSERT_TRUE(WaitQueued(1));
  std::this_thread::sleep_for(20ms);
  EXPECT_LE(pkg->TimerWakeups() - before, 6u);
}

TEST_F(Framer, AShortReadCutsThePackageAndAPeekLeavesIt) {
  Start(cptFrameTimeout);
  const Bytes data = Pattern(400, 5);
  Send(data);
  ASSERT_TRUE(WaitQueued(1));
  EXPECT_EQ(pkg->ReadPackage(nullptr, 0), 400u);
  EXPECT_EQ(pkg->ReadQueueCount(), 1u);
  Bytes buf(400, 0);
  EXPECT_EQ(pkg->ReadPackage(buf.data(), 300), 300u);
  EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 300), Bytes(data.begin(), data.begin() + 300));
  EXPECT_EQ(Bytes(buf.begin() + 300, buf.end()), Bytes(100, 0));
  EXPECT_EQ(pkg->ReadPackage(buf.data(), 400), 0u);  // the other 100 bytes are gone
}

TEST_F(Framer, AFullReadQueueDropsTheSixteenthPackage) {
  pkg->fSetPkgInterval(10);
  Start(cptFrameTimeout);
  for (uint8_t i = 1; i <= 16; ++i) {  // one at a time, each after the last has closed
    Send({i, i, i});
    ASSERT_TRUE(sig.WaitUntil([&] { return sig.packageTimes.size() >= i; }));  // one per package notified
  }
  EXPECT_EQ(pkg->ReadQueueCount(), 15u);
  for (uint8_t i = 1; i <= 15; ++i) EXPECT_EQ(Take(), (Bytes{i, i, i}));
  EXPECT_EQ(Take(), std::nullopt);
}

// ---------------------------------------------------------------- sending

TEST_F(Framer, TheWriteQueueRefusesTheSixteenthWaitingPackage) {
  Start(cptFrameHeadTail);
  comm.DisableWrite = true;  // the engine takes nothing, so nothing drains
  int accepted = 0;
  for (uint8_t i = 1; i <= 20; ++i) accepted += pkg->WritePackage(&i, 1) == 1;
  EXPECT_EQ(accepted, 16);  // the first is taken up for sending, fifteen wait
  EXPECT_EQ(pkg->WriteQueueCount(), 15u);

  // Once the engine sends again, the next attempt (still refused: the queue
  // is full) sets the stalled package moving, and all sixteen go out in order.
  comm.DisableWrite = false;
  EXPECT_EQ(WriteOne(*pkg, 21), 0u);
  Bytes want;
  for (uint8_t i = 1; i <= 16; ++i) want = Cat({want, Framed({i})});
  EXPECT_EQ(Line(want.size()), want);
  EXPECT_EQ(WriteOne(*pkg, 21), 1u);
  EXPECT_EQ(Line(5), Framed({21}));
}

TEST_F(Framer, PackagesLargerThanTheTransmitQueueGoOutWholeAndInOrder) {
  comm.OutQueue->fSetBufSize(300);  // far less than one package
  Start(cptFrameTimeout);
  const Bytes a = Pattern(4000, 6), b = Pattern(1000, 7);
  EXPECT_EQ(pkg->WritePackage(a.data(), a.size()), 4000u);
  EXPECT_EQ(pkg->WritePackage(b.data(), b.size()), 1000u);
  EXPECT_EQ(Line(5000), Cat({a, b}));

  pkg->fSetPkgType(cptFrameHeadTail);
  Bytes marks = Pattern(3000, 8);
  for (size_t i = 0; i < marks.size(); i += 2) marks[i] = 0xEB + static_cast<uint8_t>(i % 3);  // EB, EC, ED ...
  EXPECT_EQ(pkg->WritePackage(marks.data(), marks.size()), 3000u);
  EXPECT_EQ(pkg->WritePackage(b.data(), b.size()), 1000u);
  const Bytes want = Cat({Framed(marks), Framed(b)});
  EXPECT_EQ(Line(want.size()), want);
}

TEST_F(Framer, PurgesDropWhatWaitsButKeepWhatIsUnderWay) {
  Start(cptFrameHeadTail);
  SendAndSettle(Cat({Framed({0x01}), {0xEB, 0x07}}));
  ASSERT_TRUE(WaitQueued(1));
  pkg->PurgeRead();
  EXPECT_EQ(pkg->ReadQueueCount(), 0u);
  Send({0x08, 0xEE});  // ends the frame that was being received
  ASSERT_TRUE(WaitQueued(1));
  EXPECT_EQ(Take(), (Bytes{0x07, 0x08}));

  comm.DisableWrite = true;
  ASSERT_EQ(WriteOne(*pkg, 0x02), 1u);  // taken up for sending
  ASSERT_EQ(WriteOne(*pkg, 0x03), 1u);  // waiting
  pkg->PurgeWrite();
  EXPECT_EQ(pkg->WriteQueueCount(), 0u);
  comm.DisableWrite = false;
  ASSERT_EQ(WriteOne(*pkg, 0x04), 1u);
  const Bytes want = Cat({Framed({0x02}), Framed({0x04})});
  EXPECT_EQ(Line(want.size()), want);
}

// ---------------------------------------------------------------- switching

TEST_F(Framer, SwitchingOffAndOnEmptiesBothQueuesAndAHalfReceivedFrame) {
  Start(cptFrameHeadTail);
  SendAndSettle(Framed({0x01}));
  ASSERT_TRUE(WaitQueued(1));
  SendAndSettle({0xEB, 0x07, 0x08});  // a frame left open
  comm.DisableWrite = true;
  ASSERT_EQ(WriteOne(*pkg, 0x02), 1u);  // taken up for sending
  ASSERT_EQ(WriteOne(*pkg, 0x02), 1u);  // waiting
  EXPECT_EQ(pkg->WriteQueueCount(), 1u);

  pkg->fSetActive(false);
  EXPECT_FALSE(pkg->fGetActive());
  EXPECT_EQ(pkg->ReadPackage(nullptr, 0), 0u);
  EXPECT_EQ(WriteOne(*pkg, 0x03), 0u);
  pkg->fSetActive(true);
  EXPECT_EQ(pkg->ReadQueueCount(), 0u);
  EXPECT_EQ(pkg->WriteQueueCount(), 0u);

  // The open frame is gone: its rest lies outside any frame.
  Send(Cat({{0x09, 0xEE}, Framed({0x04})}));
  ASSERT_TRUE(WaitQueued(1));
  EXPECT_EQ(Take(), Bytes{0x04});
  // Nothing of the package that was being sent is left either.
  comm.DisableWrite = false;
  ASSERT_EQ(WriteOne(*pkg, 0x05), 1u);
  EXPECT_EQ(Line(5), Framed({0x05}));
  EXPECT_EQ(Line(1, 50), Bytes{});
}

TEST_F(Framer, AnInactiveFramerLeavesTheBytesToTheEngine) {
  pkg->fSetPkgInterval(2);
  comm.Open();
  for (TCommPackageType type : {cptFrameTimeout, cptFrameHeadTail}) {
    pkg->fSetPkgType(type);
    const Bytes data = Framed({0x01, 0x02});
    SendAndSettle(data);
    std::this_thread::sleep_for(30ms);  // many periods in which an active framer would take them
    Bytes got(64);
    got.resize(static_cast<size_t>(comm.Read(got.data(), static_cast<int32_t>(got.size()))));
    EXPECT_EQ(got, data) << "type " << int(type);
  }
  EXPECT_EQ(sig.PackageNotifies(~0), 0);
}

// ---------------------------------------------------------------- settings

TEST_F(Framer, PackageSizesBelow28AreRaisedAndTheBuffersStaySafe) {
  for (unsigned long size : {0ul, 27ul}) {
    pkg->fSetPkgSz(size);
    EXPECT_EQ(pkg->fGetPkgSz(), 28u);
  }
  Start(cptFrameHeadTail);

  Bytes data(40);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(0xE8 + i % 8);
  const Bytes first28(data.begin(), data.begin() + 28);
  EXPECT_EQ(pkg->WritePackage(data.data(), data.size()), 28u);
  EXPECT_EQ(Line(Framed(first28).size()), Framed(first28));
  Send(Cat({Framed(first28), Framed(data)}));
  ASSERT_TRUE(WaitQueued(2));
  EXPECT_EQ(Take(), first28);
  EXPECT_EQ(Take(), first28);

  // A pause-ended package is cut the same way.
  pkg->fSetPkgType(cptFrameTimeout);
  Send(data);
  ASSERT_TRUE(WaitQueued(1));
  EXPECT_EQ(Take(), first28);
}

TEST_F(Framer, ResizingWhileActiveKeepsItActiveButEmpty) {
  Start(cptFrameHeadTail);
  SendAndSettle(Framed({0x01}));
  ASSERT_TRUE(WaitQueued(1));

  pkg->fSetQSize(4);
  EXPECT_TRUE(pkg->fGetActive());
  EXPECT_EQ(pkg->ReadQueueCount(), 0u);
  SendAndSettle(Cat({Framed({1}), Framed({2}), Framed({3}), Framed({4})}));
  ASSERT_TRUE(WaitQueued(3));
  for (uint8_t i = 1; i <= 3; ++i) EXPECT_EQ(Take(), Bytes{i});
  Send(Framed({5}));
  ASSERT_TRUE(WaitQueued(1));
  EXPECT_EQ(Take(), Bytes{5});  // the fourth found the queue full

  pkg->fSetPkgSz(100);
  EXPECT_TRUE(pkg->fGetActive());
  const Bytes big = Pattern(150, 9);
  Send(Framed(big));
  ASSERT_TRUE(WaitQueued(1));
  EXPECT_EQ(Take(), Bytes(big.begin(), big.begin() + 100));

  pkg->fSetQSize(1);  // kept as set; the queue still has room for one
  EXPECT_EQ(pkg->fGetQSize(), 1);
  Send(Framed({6}));
  ASSERT_TRUE(WaitQueued(1));
  EXPECT_EQ(Take(), Bytes{6});
}

TEST_F(Framer, AZeroIntervalStillEndsPackagesWithoutSpinning) {
  pkg->fSetPkgInterval(0);
  Start(cptFrameTimeout);
  Send({1, 2, 3});
  ASSERT_TRUE(WaitQueued(1));
  EXPECT_EQ(Take(), (Bytes{1, 2, 3}));
  const auto cpu = ProcessCpuTime();
  std::this_thread::sleep_for(300ms);
  EXPECT_LT(Ms(ProcessCpuTime() - cpu), 100.0);  // a spinning thread would take about 300
}

// ---------------------------------------------------------------- notifications

TEST_F(Framer, EngineEventsGoOnToTheEngineCallbackAndTheOwnerHearsOfPackages) {
  Start(cptFrameHeadTail);  // the engine's open notification comes with the framer active
  {
    std::lock_guard lock(sig.m);
    EXPECT_EQ(sig.packageMasks, std::vector<int>{0x38});
    EXPECT_EQ(sig.packageSender, pkg.get());
    EXPECT_EQ(sig.engineMasks, std::vector<int>{0x38});
  }
  ASSERT_EQ(WriteOne(*pkg, 0x01), 1u);
  EXPECT_EQ(Line(5), Framed({0x01}));
  EXPECT_TRUE(sig.WaitUntil([&] { return !sig.packageMasks.empty() && (sig.packageMasks.back() & kTxEmpty); }));

  SendAndSettle(Framed({0x02}));
  EXPECT_TRUE(sig.WaitUntil([&] { return !sig.packageMasks.empty() && (sig.packageMasks.back() & kRxChar); }));
}

TEST_F(Framer, ClearingTheOwnerCallbackWaitsForACallUnderWay) {
  std::atomic<bool> inside{false};
  bool entered = false;
  pkg->SetPackageNotify([&](TObject*, int) {
    inside = true;
    {
      std::lock_guard lock(sig.m);
      entered = true;
      sig.cv.notify_all();
    }
    std::this_thread::sleep_for(50ms);
    inside = false;
  });
  pkg->fSetPkgInterval(5);
  Start(cptFrameTimeout);
  Send({0x01});
  ASSERT_TRUE(sig.WaitUntil([&] { return entered; }));
  pkg->SetPackageNotify(nullptr);
  EXPECT_FALSE(inside);
}

// An owner's callback that throws neither stops the framer's thread nor goes
// unnoticed: each exception is counted.
TEST_F(Framer, AnOwnerCallbackThatThrowsIsCountedAndPackagesGoOn) {
  std::atomic<int> calls{0};
  pkg->SetPackageNotify([&](TObject*, int) {
    ++calls;
    throw std::runtime_error("owner failed");
  });
  pkg->fSetPkgInterval(5);
  Start(cptFrameTimeout);
  for (uint8_t b : {0x01, 0x02}) {
    Send({b});
    ASSERT_TRUE(WaitQueued(1));
    uint8_t got = 0;
    EXPECT_EQ(pkg->ReadPackage(&got, 1), 1u);
    EXPECT_EQ(got, b);
  }
  comm.Close();
  pkg->SetPackageNotify(nullptr);
  EXPECT_GE(calls.load(), 2);
  EXPECT_EQ(pkg->CallbackFailures(), static_cast<uint64_t>(calls.load()));
}

TEST(FramerLife, DestroyingAFramerEndsItsThreadAndGivesTheEngineItsCallbackBack) {
  TComm32 comm;
  int calls = 0;
  comm.OnCommNotify = [&](TComm32*, int) { ++calls; };
  { TCommPackage first(&comm); }  // a first cycle, so that helper threads of a sanitizer are counted
  const int fds = CountEntries("/proc/self/fd"), tasks = CountEntries("/proc/self/task");
  for (auto type : {cptCompatiblePkg, cptFrameTimeout}) {
    TCommPackage pkg(&comm);
    pkg.fSetPkgType(type);
    pkg.fSetActive(true);
    comm.OnCommNotify(&comm, 0x38);  // through the framer to the callback before it
  }
  EXPECT_EQ(calls, 2);
  comm.OnCommNotify(&comm, 0x38);
  EXPECT_EQ(calls, 3);
  EXPECT_EQ(CountEntries("/proc/self/fd"), fds);
  for (int i = 0; i < 100 && CountEntries("/proc/self/task") != tasks; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(CountEntries("/proc/self/task"), tasks);
}

// The teardown of a link: the owner hears nothing more, packaging is off and
// the port closed, also when a handler holds the reader up so that Close
// gives up on it: that is counted, not raised, and the engine joins the
// thread once it has ended.
TEST(FramerLife, ShutdownLinkClosesEverythingAndCountsAThreadThatWouldNotStop) {
  PtyPair pty;
  ASSERT_GE(pty.Master, 0);
  TComm32 comm;
  std::strncpy(comm.DeviceName, pty.Path.c_str(), sizeof comm.DeviceName - 1);
  std::mutex m;
  std::condition_variable cv;
  bool entered = false, release = false;
  comm.OnCommNotify = [&](TComm32*, int mask) {
    if (!(mask & kRxChar)) return;
    std::unique_lock l(m);
    entered = true;
    cv.notify_all();
    cv.wait_for(l, 5s, [&] { return release; });
  };
  TCommPackage pkg(&comm);
  std::atomic<int> heard{0};
  pkg.SetPackageNotify([&](TObject*, int) { ++heard; });
  pkg.fSetPkgType(cptFrameHeadTail);
  pkg.fSetActive(true);
  comm.Open();
  ASSERT_TRUE(pty.Send("x"));  // no frame: only the engine's callback hears of it
  {
    std::unique_lock l(m);
    ASSERT_TRUE(cv.wait_for(l, 2s, [&] { return entered; }));
  }
  const int heardBefore = heard.load();
  ShutdownLink(comm, pkg);
  EXPECT_FALSE(comm.Active);
  EXPECT_FALSE(pkg.fGetActive());
  EXPECT_EQ(comm.Handle, -1);
  EXPECT_EQ(comm.StopFailures(), 1u);
  EXPECT_EQ(heard.load(), heardBefore);
  {
    std::lock_guard l(m);
    release = true;
  }
  cv.notify_all();
  // Open refuses while the old reader lives; once it has ended it is joined.
  bool reopened = false;
  for (const auto deadline = Clock::now() + 5s; !reopened && Clock::now() < deadline;) {
    try {
      comm.Open();
      reopened = true;
    } catch (const EComm32Error&) {
      std::this_thread::sleep_for(10ms);
    }
  }
  EXPECT_TRUE(reopened);
  ShutdownLink(comm, pkg);
  EXPECT_EQ(comm.StopFailures(), 1u);
}

// The owner's commands and the packages the framer sends from the engine's
// reader thread share one transmit queue. A small queue and a slow reader on
// the line (more than the pty buffers) make packages wait for room often;
// still every command (as far as Command took it) and every package reach
// the line whole, none inside another.
TEST_F(Framer, CommandsSentWhilePackagesStreamOutNeverLandInsideAPackage) {
  comm.OutQueue->fSetBufSize(512);
  Start(cptFrameTimeout);
  constexpr int kRounds = 400;
  constexpr size_t kPackage = 300;

  std::atomic<bool> sending{true};
  std::atomic<size_t> expected{0};
  std::string line;
  std::thread drain([&] {
    const auto deadline = Clock::now() + 20s;
    std::this_thread::sleep_for(300ms);  // the pty fills up meanwhile
    char buf[4096];
    while (Clock::now() < deadline && (sending.load() || line.size() < expected.load())) {
      pollfd f{pty.Master, POLLIN, 0};
      if (::poll(&f, 1, 20) <= 0) continue;
      const ssize_t r = ::read(pty.Master, buf, 256);
      if (r > 0) line.append(buf, static_cast<size_t>(r));
      std::this_thread::sleep_for(100us);
    }
  });

  std::vector<std::string> commands;  // what Command took of each
  size_t total = 0;
  const auto deadline = Clock::now() + 15s;
  for (int i = 0; i < kRounds && Clock::now() < deadline; ++i) {
    Bytes p(kPackage, static_cast<uint8_t>('a' + i % 26));
    p[0] = 'P';
    while (pkg->WritePackage(p.data(), p.size()) == 0 && Clock::now() < deadline) std::this_thread::sleep_for(1ms);
    const std::string text = "AT" + std::to_string(1000 + i) + "\r";
    int32_t took;
    while ((took = comm.Command(text.c_str())) == 0 && Clock::now() < deadline) std::this_thread::sleep_for(1ms);
    commands.push_back(text.substr(0, static_cast<size_t>(took)));
    total += kPackage + static_cast<size_t>(took);
  }
  expected = total;
  sending = false;
  drain.join();
  ASSERT_EQ(line.size(), total);

  // Walk the line: each piece must be the next command or the next package.
  size_t at = 0, nextCommand = 0;
  int packages = 0;
  while (at < line.size()) {
    const bool command = line[at] == 'A' && nextCommand < commands.size();
    const std::string want = command ? commands[nextCommand++]
                                     : 'P' + std::string(kPackage - 1, static_cast<char>('a' + packages++ % 26));
    ASSERT_EQ(line.compare(at, want.size(), want), 0) << (command ? "a command" : "a package") << " split at " << at;
    at += want.size();
  }
  EXPECT_EQ(packages, kRounds);
  EXPECT_EQ(nextCommand, commands.size());
}
