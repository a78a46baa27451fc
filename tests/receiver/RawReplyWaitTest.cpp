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

namespace {

// "$$SRST" and the format's "$$FD" frame, and what the simulator answers them.
const Bytes Reset = H("24 24 53 52 53 54");
const Bytes ResetAnswer = H("24 24 53 52 53 54 0D 0A");
const Bytes Format = H("24 24 46 44 00 00 02 0D 0A");

struct TEchoCase {
  const char* What;
  bool IsFormat;
  bool LineEchoes;
  std::vector<std::pair<uint32_t, Bytes>> Reads;  // ms after the write, bytes
  bool Found;
  bool EchoSeen;
};

Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace

TEST(ReplyScanner, TheRequestComingBackIsNeverTheAnswer) {
  const TEchoCase cases[] = {
      {"reset echoed, nothing else", false, false, {{3, Reset}}, false, true},
      {"reset echoed by a known echoing line", false, true, {{3, Reset}}, false, true},
      {"reset answered at once with CR LF", false, false, {{0, ResetAnswer}}, true, false},
      {"reset answer whose CR LF comes later", false, false, {{1, Reset}, {40, H("0D 0A")}}, true, false},
      {"reset answer on a line thought to echo", false, true, {{1, ResetAnswer}}, true, false},
      {"reset echo, then the answer in the same read", false, false, {{3, Cat(Reset, ResetAnswer)}}, true, true},
      {"reset echo, then the answer later", false, true, {{3, Reset}, {20, ResetAnswer}}, true, true},
      {"an answer that only begins like the request", false, false, {{5, H("24 24 53 52 0D 0A")}}, true, false},
      {"a bare head that stops", false, false, {{5, H("24 24 53 52")}}, true, false},
      {"noise before the head", false, false, {{5, H("78 24 24 53 52")}}, true, false},
      {"a stutter breaks the head", false, false, {{5, H("24 24 24 53 52")}}, false, false},
      {"format echoed at once", true, false, {{4, Format}}, false, true},
      {"format echoed in pieces", true, false, {{2, H("24 24 46")}, {4, H("44 00 00 02 0D 0A")}}, false, true},
      {"format answered after its work", true, false, {{400, Format}}, true, false},
      {"format copy on a known echoing line", true, true, {{400, Format}}, false, true},
      {"format echo, then the answer", true, false, {{4, Format}, {3000, Format}}, true, true},
      {"format echo, then the answer, known echo", true, true, {{4, Format}, {3000, Format}}, true, true},
  };
  for (const TEchoCase& c : cases) {
    const Bytes& sent = c.IsFormat ? Format : Reset;
    TReplyScanner scanner(c.IsFormat ? FormatHead : SerialResetHead, sent, c.LineEchoes);
    for (const auto& [at, bytes] : c.Reads) scanner.Feed(bytes, at);
    // The wait goes on reading nothing until its limit.
    for (uint32_t at = c.Reads.back().first; at <= 15000; at += RawWaitPollMs) scanner.Feed({}, at);
    EXPECT_EQ(scanner.Found(), c.Found) << c.What;
    EXPECT_EQ(scanner.EchoSeen(), c.EchoSeen) << c.What;
  }
}

TEST(RawReplyWait, AnEchoedRequestIsJudgedOnTheTimeOfItsRead) {
  // The echo read 5 ms after the write, nothing after it: no answer.
  TRig rig;
  rig.Reads = {{}, Reset};
  TReplyScanner echoed(SerialResetHead, Reset, false);
  EXPECT_FALSE(WaitForReplyHead([&](uint8_t* buf, long) -> long {
    if (rig.Reads.empty()) return 0;
    const Bytes next = rig.Reads.front();
    rig.Reads.pop_front();
    std::copy(next.begin(), next.end(), buf);
    return static_cast<long>(next.size());
  }, echoed, 15000, rig, rig.Start, rig.Latest));
  EXPECT_TRUE(echoed.EchoSeen());
}
