// The head matcher, and the raw reply wait on a virtual clock and scripted reads.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>

#include "RawReplyWait.h"
#include "TestHex.h"

using namespace Z500;

TEST(HeadMatcher, BreakingByteIsNotRetriedAndPiecesCarryOver) {
  THeadMatcher stutter(SerialResetHead), restart(SerialResetHead), noise(SerialResetHead), pieces(SerialResetHead);
  EXPECT_FALSE(stutter.Feed(H("24 24 24 53 52")));
  EXPECT_FALSE(restart.Feed(H("24 24 53 24 24 53 52")));  // the 24 after "$$S" starts nothing
  EXPECT_TRUE(noise.Feed(H("78 24 24 53 52 00")));  // the byte after the head does not undo it
  EXPECT_FALSE(pieces.Feed(H("24 24")));
  EXPECT_TRUE(pieces.Feed(H("53 52")));
  EXPECT_TRUE(pieces.Feed(H("00")));
}

namespace {

// Logs 'r' per read, 'i' per idle call and 's' per sleep; sleeping only moves
// the virtual time on.
struct TRig : IClock {
  explicit TRig(uint32_t start = 1000) : Now(start) {}
  uint32_t TickCount() override { return Now; }
  void Sleep(uint32_t ms) override { Now += ms, Events += 's'; }

  bool Wait(uint32_t limitMs) {
    auto read = [this](uint8_t* buf, long len) -> long {
      EXPECT_EQ(len, 300);
      Events += 'r';
      if (Reads.empty()) return -1;
      const Bytes next = Reads.front();
      Reads.pop_front();
      if (!next.empty()) std::memcpy(buf, next.data(), next.size());
      return static_cast<long>(next.size());
    };
    return WaitForReplyHead(read, SerialResetHead, limitMs, *this, Start, Latest, [this] { Events += 'i'; },
                            [this] { return --StopIn == 0; });
  }

  uint32_t Now, Start = 0, Latest = 0;
  int StopIn = -1;  // the line goes at this idle call (counting down); never when negative
  std::deque<Bytes> Reads;
  std::string Events;
};

// Each read before the last finds nothing and is followed by idle and a sleep.
std::string EmptyReadsThenLast(size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s += "ris";
  return s + "r";
}

}  // namespace

TEST(RawReplyWait, HeadSplitOverTwoReadsEndsTheWaitAtOnce) {
  TRig rig;
  rig.Reads = {H("78 24 24"), H("53 52 53 54 00")};
  EXPECT_TRUE(rig.Wait(15000));
  EXPECT_EQ(rig.Events, EmptyReadsThenLast(1));
  EXPECT_EQ(rig.Start, 1000u);
}

TEST(RawReplyWait, SilenceEndsJustPastTheLimitSleepingAfterEveryRead) {
  TRig rig;
  EXPECT_FALSE(rig.Wait(15000));
  EXPECT_EQ(rig.Start, 1000u);
  EXPECT_EQ(rig.Latest - rig.Start, 15000u + RawWaitPollMs);
  EXPECT_EQ(rig.Events, EmptyReadsThenLast(15000 / RawWaitPollMs + 1));
}

TEST(RawReplyWait, FullReadIsFollowedByAnotherReadWithoutSleeping) {
  TRig rig;
  rig.Reads = {Bytes(300), Bytes(299), H("24 24 53 52")};
  EXPECT_TRUE(rig.Wait(15000));
  EXPECT_EQ(rig.Events, "ri" "ris" "r");
}

TEST(RawReplyWait, LimitHoldsAcrossTickWrapAround) {
  TRig rig(0xFFFFF000);
  EXPECT_FALSE(rig.Wait(15000));
  EXPECT_EQ(rig.Latest, 0xFFFFF000u + 15000u + RawWaitPollMs);  // past 0
  EXPECT_EQ(rig.Events, EmptyReadsThenLast(15000 / RawWaitPollMs + 1));
}

TEST(RawReplyWait, LineGoneEndsTheWaitAtOnceWithoutTheHead) {
  TRig rig;
  rig.StopIn = 3;
  rig.Reads = {H("24 24"), {}, {}, H("53 52")};
  EXPECT_FALSE(rig.Wait(15000));
  EXPECT_EQ(rig.Events, "ris" "ris" "ri");
}
