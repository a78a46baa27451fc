// The link opened and closed through the window again and again, and the
// parameters and the directory exchanged with the simulated receiver many
// times: afterwards the process holds no more descriptors or threads than
// before, and hardly more memory. SOAK_FULL=1 runs the long form (2000
// cycles, 200 exchanges); SOAK_CYCLES and SOAK_EXCHANGES set the counts.
#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QThreadPool>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "ProcessFigures.h"
#include "WindowRig.h"

namespace {

int Setting(const char* name, int full, int quick) {
  if (const char* v = std::getenv(name); v && *v) return std::atoi(v);
  const char* f = std::getenv("SOAK_FULL");
  return f && *f && *f != '0' ? full : quick;
}

// Memory the process may grow by in all (KiB): the allocator keeps some
// freed memory for reuse, but a leak per cycle or exchange would exceed it.
constexpr long RssMarginKiB = 2048;

struct Snapshot {
  int Descriptors = figures::Descriptors();
  int Threads = figures::Threads();
  long Rss = figures::RssKiB();
};

class Soak : public ReceiverWindowTest {
protected:
  void Build() {
    z500sim::Options options;
    options.unlogged = true;
    options.baud = 0;
    options.files = 20;
    // The pauses after each open run on virtual time.
    ReceiverWindowTest::Build(options, std::make_shared<InstantClock>());
  }
  void Cycle() {
    form->Button1->click();
    ASSERT_TRUE(form->VellCommDevice1->fGetActive());
    form->Button1->click();
    ASSERT_FALSE(form->VellCommDevice1->fGetActive());
    QCoreApplication::processEvents();  // what the engine posted meanwhile
  }
  // Sets the parameters, reads them back, and lists all 20 files.
  void Exchange(int k) {
    const QString interval = QString::number(k % 60), cutoff = QString::number(k % 89);
    form->Edit2->setText(interval);
    form->Edit3->setText(cutoff);
    form->Button6->click();
    // The acknowledgement first: an answer close behind it would share its package.
    form->Label1->clear();
    ASSERT_TRUE(PumpUntil([&] { return !form->Label1->text().isEmpty(); }));
    form->Edit2->clear();
    form->Edit3->clear();
    form->Button5->click();
    ASSERT_TRUE(PumpUntil([&] { return form->Edit2->text() == interval && form->Edit3->text() == cutoff; }));
    form->Label1->clear();
    form->Button7->click();
    ASSERT_TRUE(PumpUntil([&] { return form->FileCount == 20 && !form->Label1->text().isEmpty(); }));
  }
};

// A thread Qt's pool starts while the program runs (painting does when the
// pool's threads are busy, as on a loaded machine) keeps a descriptor of
// its own until it has been idle for 30 s: the counts leave both out.
TEST(ProcessFigures, AThreadOfQtsPoolDoesNotCount) {
  const int descriptors = figures::Descriptors(), threads = figures::Threads();
  std::mutex m;
  std::condition_variable cv;
  bool ran = false;
  QThreadPool::globalInstance()->start([&] {
    std::lock_guard lock(m);
    ran = true;
    cv.notify_all();
  });
  {
    std::unique_lock lock(m);
    ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(5), [&] { return ran; }));
  }
  EXPECT_EQ(figures::Descriptors(), descriptors);
  EXPECT_EQ(figures::Threads(), threads);
}

TEST_F(Soak, CyclesAndExchangesLeaveNoDescriptorThreadOrMemoryBehind) {
  const int cycles = Setting("SOAK_CYCLES", 2000, 200);
  const int exchanges = Setting("SOAK_EXCHANGES", 200, 20);
  Build();
  // Once through everything first, so that what is made once for good
  // (allocator arenas, Qt's caches) is there before the first snapshot.
  for (int k = 0; k < 5; ++k) Cycle();
  form->Button1->click();
  Exchange(0);
  form->Button1->click();
  Pump(200);
  const Snapshot before;
  const auto started = std::chrono::steady_clock::now();

  for (int k = 0; k < cycles; ++k) {
    Cycle();
    if (HasFatalFailure()) return;
  }
  const auto cycled = std::chrono::steady_clock::now();
  form->Button1->click();
  for (int k = 1; k <= exchanges; ++k) {
    Exchange(k);
    if (HasFatalFailure()) return;
  }
  form->Button1->click();
  const auto exchanged = std::chrono::steady_clock::now();
  Pump(200);
  const Snapshot after;

  using Seconds = std::chrono::duration<double>;
  std::printf("[ figures  ] soak: %d cycles in %.1f s, %d exchanges in %.1f s; descriptors %d -> %d, "
              "threads %d -> %d, VmRSS %ld -> %ld KiB\n",
              cycles, Seconds(cycled - started).count(), exchanges, Seconds(exchanged - cycled).count(),
              before.Descriptors, after.Descriptors, before.Threads, after.Threads, before.Rss, after.Rss);
  EXPECT_EQ(after.Descriptors, before.Descriptors);
  EXPECT_EQ(after.Threads, before.Threads);
#if !defined(__SANITIZE_ADDRESS__)
  // AddressSanitizer keeps freed memory in quarantine, so the resident size
  // grows there by design; its leak check looks after memory in that build.
  EXPECT_LE(after.Rss, before.Rss + RssMarginKiB);
#endif
  EXPECT_EQ(receiver->FramesOf(z500sim::FrameKind::Unlog).size(), size_t(2 * (cycles + 7)));
  EXPECT_TRUE(prompts->Messages.empty());
}

}  // namespace
