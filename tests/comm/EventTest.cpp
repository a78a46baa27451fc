// Events over eventfd: reset modes, waiting for several, waking across threads.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "Event.h"

using namespace QuarlComm32;
using Clock = std::chrono::steady_clock;

TEST(Event, ManualStaysSetUntilResetAutoIsTakenByOneWait) {
  TEvent manual(TEvent::rmManual), automatic(TEvent::rmAuto);
  ASSERT_TRUE(manual.Valid());
  EXPECT_FALSE(manual.Wait(0));
  manual.Set();
  manual.Set();
  EXPECT_TRUE(manual.Wait(0));
  EXPECT_TRUE(manual.Wait(0));
  manual.Reset();
  EXPECT_FALSE(manual.Wait(0));

  automatic.Set();
  automatic.Set();  // two sets before a wait are one signal
  EXPECT_TRUE(automatic.Wait(0));
  EXPECT_FALSE(automatic.Wait(0));
}

TEST(Event, WaitAnyPrefersTheLowestIndexAndTimesOut) {
  TEvent a, b, c(TEvent::rmAuto);
  b.Set();
  c.Set();
  EXPECT_EQ(TEvent::WaitAny({&a, &b, &c}, 0), 1);
  a.Set();
  EXPECT_EQ(TEvent::WaitAny({&a, &b, &c}, 0), 0);
  a.Reset();
  b.Reset();
  EXPECT_EQ(TEvent::WaitAny({&a, &b, &c}, 0), 2);
  EXPECT_EQ(TEvent::WaitAny({&a, &b, &c}, 0), TEvent::kTimeout);  // c was taken

  // A timed wait never ends early, not even by the rounding of a short one
  // (a 1 ms wait that returns at once makes its caller's loop spin).
  for (int ms : {1, 2, 5, 30}) {
    const auto t0 = Clock::now();
    EXPECT_EQ(TEvent::WaitAny({&a, &b}, ms), TEvent::kTimeout);
    EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(ms)) << ms;
  }
}

// Up to seven events (and a descriptor beside them) can be waited for; more,
// or an event that has no descriptor, is an error, never a time-out.
TEST(Event, WaitAnyReportsWhatItCannotWaitFor) {
  TEvent e[8];
  e[6].Set();
  pollfd extra{e[7].Fd(), POLLIN, 0};
  EXPECT_EQ(TEvent::WaitAny({&e[0], &e[1], &e[2], &e[3], &e[4], &e[5], &e[6]}, 1000, &extra), 6);
  EXPECT_EQ(TEvent::WaitAny({&e[0], &e[1], &e[2], &e[3], &e[4], &e[5], &e[6], &e[7]}, 0), TEvent::kError);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(TEvent::WaitAny({&e[0], nullptr}, 0), TEvent::kError);
}

TEST(Event, WaitsTogetherWithADescriptor) {
  int p[2];
  ASSERT_EQ(::pipe(p), 0);
  TEvent stop;
  pollfd extra{p[0], POLLIN, 0};
  EXPECT_EQ(TEvent::WaitAny({&stop}, 0, &extra), TEvent::kTimeout);
  ASSERT_EQ(::write(p[1], "x", 1), 1);
  EXPECT_EQ(TEvent::WaitAny({&stop}, 1000, &extra), 1);
  EXPECT_TRUE(extra.revents & POLLIN);
  stop.Set();  // an event before the descriptor wins
  EXPECT_EQ(TEvent::WaitAny({&stop}, 1000, &extra), 0);
  ::close(p[0]);
  ::close(p[1]);
}

TEST(Event, SetFromAnotherThreadEndsAnEndlessWait) {
  TEvent ev(TEvent::rmAuto);
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ev.Set();
  });
  EXPECT_TRUE(ev.Wait(-1));
  setter.join();
}
