// The package ring, and the frame-mark line format through a real engine on
// a pseudo-terminal: what the framer sends, how it decodes what it receives
// (stuffing, stray marks, overlong frames), whole items in the compatible
// type, and random packages over a randomly split stream.
#include <gtest/gtest.h>

#include <random>

#include "FramerRig.h"

using namespace framer_test;

namespace {

Bytes Item(uint32_t length, const Bytes& data, size_t size) {
  Bytes item(size, 0);
  std::memcpy(item.data(), &length, sizeof length);
  std::copy(data.begin(), data.end(), item.begin() + 4);
  return item;
}

}  // namespace

// ---------------------------------------------------------------- the ring

TEST(PackageQueue, HoldsOneItemLessThanItsSlotsAndKeepsOrderAcrossTheWrap) {
  TCommPackageQueue q(4, 32);
  uint8_t item[32] = {}, out[32];
  for (int start = 0; start < 4; ++start) {  // every position of the ring's start
    for (uint8_t v = 1; v <= 3; ++v) EXPECT_EQ(q.In((item[0] = v, item)), 1);
    EXPECT_EQ(q.In(item), 0);
    ASSERT_EQ(q.Read(out, 2), 1);  // a peek at the third leaves it
    EXPECT_EQ(out[0], 3);
    EXPECT_EQ(q.Read(out, 3), 0);
    for (uint8_t v = 1; v <= 3; ++v) {
      ASSERT_EQ(q.Out(out), 1);
      EXPECT_EQ(out[0], v);
    }
    EXPECT_EQ(q.Out(out), 0);
    q.In(item);  // moves the start on by one
    q.Out(out);
  }
}

// ---------------------------------------------------------------- sending

TEST_F(Framer, SendsFramesWithDoubledMarksAndStuffedData) {
  Start(cptFrameHeadTail);
  const Bytes a{0x01, 0xEB, 0x02, 0xEC}, b{0xEB, 0xEE, 0xEC};
  EXPECT_EQ(pkg->WritePackage(a.data(), a.size()), 4u);
  EXPECT_EQ(pkg->WritePackage(b.data(), b.size()), 3u);
  EXPECT_EQ(Line(20), (Bytes{0xEB, 0xEB, 0x01, 0xEC, 0xEB, 0x02, 0xEC, 0xEC, 0xEE, 0xEE,  //
                             0xEB, 0xEB, 0xEC, 0xEB, 0xEC, 0xEE, 0xEC, 0xEC, 0xEE, 0xEE}));

  pkg->fSetDblFrameMark(false);
  EXPECT_EQ(pkg->WritePackage(b.data(), b.size()), 3u);
  EXPECT_EQ(Line(8), (Bytes{0xEB, 0xEC, 0xEB, 0xEC, 0xEE, 0xEC, 0xEC, 0xEE}));

  // Marks are plain settings: other values take effect with the next package.
  pkg->FrameHead = 0x7E;
  pkg->FrameTail = 0x7F;
  pkg->FrameCtrl = 0x7D;
  const Bytes c{0x7E, 0xEB, 0x7D};
  EXPECT_EQ(pkg->WritePackage(c.data(), c.size()), 3u);
  EXPECT_EQ(Line(7), (Bytes{0x7E, 0x7D, 0x7E, 0xEB, 0x7D, 0x7D, 0x7F}));

  EXPECT_EQ(pkg->WritePackage(nullptr, 3), 0u);
  EXPECT_EQ(pkg->WritePackage(c.data(), 0), 0u);
  EXPECT_EQ(Line(1, 50), Bytes{});
}

TEST_F(Framer, CompatibleItemsCarryTheirOwnLengthBothWays) {
  Start(cptCompatiblePkg);
  const size_t itemSize = pkg->fGetPkgSz() + 4;
  EXPECT_EQ(pkg->WritePackage(Item(0, {}, itemSize).data(), 0), 1u);  // len 0: the whole item
  EXPECT_EQ(Line(4), (Bytes{0xEB, 0xEB, 0xEE, 0xEE}));
  pkg->fSetDblFrameMark(false);
  EXPECT_EQ(pkg->WritePackage(Item(0, {}, 4).data(), 4), 1u);
  EXPECT_EQ(Line(2), (Bytes{0xEB, 0xEE}));
  // A buffer shorter than the length it claims: only what it holds is sent.
  EXPECT_EQ(pkg->WritePackage(Item(100, {0x11, 0xEE, 0x33}, 7).data(), 7), 1u);
  EXPECT_EQ(Line(6), (Bytes{0xEB, 0x11, 0xEC, 0xEE, 0x33, 0xEE}));
  EXPECT_EQ(pkg->WritePackage(Item(1, {}, 4).data(), 3), 0u);  // not even a length word

  Send(Cat({Framed({0x21, 0xEC, 0x23}), Framed({})}));
  ASSERT_TRUE(WaitQueued(2));
  Bytes item(itemSize, 0x55);
  ASSERT_EQ(pkg->ReadPackage(item.data(), 0), 1u);
  EXPECT_EQ(Bytes(item.begin(), item.begin() + 7), Item(3, {0x21, 0xEC, 0x23}, 7));
  // A length bounds the copy: a short buffer is not written past its end.
  Bytes shortBuf(12, 0x55);
  ASSERT_EQ(pkg->ReadPackage(shortBuf.data(), 8), 1u);
  EXPECT_EQ(Bytes(shortBuf.begin(), shortBuf.begin() + 4), Item(0, {}, 4));  // the empty package
  EXPECT_EQ(Bytes(shortBuf.begin() + 8, shortBuf.end()), Bytes(4, 0x55));
  EXPECT_EQ(pkg->ReadPackage(item.data(), 0), 0u);
}

// ---------------------------------------------------------------- receiving

TEST_F(Framer, DecodesStuffedFramesWithSingleOrDoubleMarks) {
  Start(cptFrameHeadTail);
  Send(Cat({{0xEB, 0xEB, 0x01, 0xEC, 0xEB, 0x02, 0xEC, 0xEC, 0xEE, 0xEE},
            {0xEB, 0xEB, 0xEC, 0xEB, 0xEC, 0xEE, 0xEC, 0xEC, 0xEE, 0xEE},
            {0xEB, 0xEB, 0xEE, 0xEE},
            {0xEB, 0xEE},
            Framed({0x05, 0xEE}, false)}));
  ASSERT_TRUE(WaitQueued(5));
  EXPECT_EQ(pkg->ReadPackage(nullptr, 0), 4u);  // peeks at the length, keeps the package
  EXPECT_EQ(pkg->ReadQueueCount(), 5u);
  EXPECT_EQ(Take(), (Bytes{0x01, 0xEB, 0x02, 0xEC}));
  EXPECT_EQ(Take(), (Bytes{0xEB, 0xEE, 0xEC}));
  // An empty package is delivered; reading it gives 0 and takes it.
  uint8_t buf[8];
  EXPECT_EQ(pkg->ReadPackage(nullptr, 0), 0u);
  EXPECT_EQ(pkg->ReadPackage(buf, sizeof buf), 0u);
  EXPECT_EQ(pkg->ReadQueueCount(), 2u);
  EXPECT_EQ(Take(), Bytes{});
  EXPECT_EQ(Take(), (Bytes{0x05, 0xEE}));
  EXPECT_EQ(Take(), std::nullopt);
}

TEST_F(Framer, AHeadInsideAFrameDropsWhatCameBeforeIt) {
  Start(cptFrameHeadTail);
  Send(Cat({{0xEB, 0x01, 0x02, 0xEB, 0x03, 0xEE},  //
            {0xEB, 0xEB, 0x04, 0xEB, 0xEB, 0x05, 0xEE, 0xEE}}));
  ASSERT_TRUE(WaitQueued(2));
  EXPECT_EQ(Take(), Bytes{0x03});
  EXPECT_EQ(Take(), Bytes{0x05});
}

TEST_F(Framer, BytesOutsideFramesAreIgnoredAndACtrlByteThereDisarmsTheNextHead) {
  Start(cptFrameHeadTail);
  Send(Cat({{0x11, 0xEE, 0x22},          // before the first head, a stray tail among them
            Framed({0x01}), {0xEE, 0x33},  // a tail outside a frame
            {0xEC, 0xEB, 0x44, 0xEE},      // the head after a control byte starts nothing
            {0xEC, 0xEC, 0xEB, 0x55, 0xEE},  // a second control byte re-arms it
            Framed({0x09})}));
  ASSERT_TRUE(WaitQueued(3));
  EXPECT_EQ(Take(), Bytes{0x01});
  EXPECT_EQ(Take(), Bytes{0x55});
  EXPECT_EQ(Take(), Bytes{0x09});
  EXPECT_EQ(Take(), std::nullopt);
}

TEST_F(Framer, AnOverlongFrameIsCutToThePackageSize) {
  pkg->fSetPkgSz(64);
  Start(cptFrameHeadTail);
  Bytes data(74);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(0xE0 + i % 16);  // marks among them
  Send(Cat({Framed(data), Framed({0x02})}));
  ASSERT_TRUE(WaitQueued(2));
  EXPECT_EQ(pkg->ReadPackage(nullptr, 0), 64u);
  EXPECT_EQ(Take(), Bytes(data.begin(), data.begin() + 64));
  EXPECT_EQ(Take(), Bytes{0x02});
}

// Packages of random lengths (0 included) and data rich in mark bytes, with
// single or double marks and stray bytes between them, sent in random pieces
// that the framer takes one by one, so that frames, stuffing and doubled marks
// are cut at every kind of place.
TEST_F(Framer, RandomPackagesComeBackWholeWhateverTheStreamSplit) {
  pkg->fSetPkgSz(200);
  pkg->fSetQSize(64);  // a piece of 64 bytes holds at most 32 empty frames
  Start(cptFrameHeadTail);

  std::mt19937 rng(4021);
  auto pick = [&](unsigned n) { return static_cast<unsigned>(rng() % n); };
  const uint8_t marks[] = {0xEB, 0xEE, 0xEC};
  std::vector<Bytes> sent;
  Bytes stream;
  for (int i = 0; i < 120; ++i) {
    Bytes data(pick(4) == 0 ? pick(3) : pick(201));
    for (uint8_t& b : data) b = pick(4) == 0 ? marks[pick(3)] : static_cast<uint8_t>(rng());
    const Bytes frame = Framed(data, pick(2) == 0);
    stream.insert(stream.end(), frame.begin(), frame.end());
    sent.push_back(std::move(data));
    for (unsigned junk = pick(4) == 0 ? 1 + pick(4) : 0; junk > 0; --junk) {
      const uint8_t b = static_cast<uint8_t>(rng());
      stream.push_back(b == 0xEB || b == 0xEC ? 0xEE : b);  // tails only: they are ignored out there
    }
  }

  std::vector<Bytes> got;
  for (size_t at = 0; at < stream.size();) {
    const size_t n = std::min<size_t>(stream.size() - at, 1 + pick(64));
    SendAndSettle(Bytes(stream.begin() + static_cast<ptrdiff_t>(at), stream.begin() + static_cast<ptrdiff_t>(at + n)));
    at += n;
    while (auto p = Take()) got.push_back(std::move(*p));
  }
  while (got.size() < sent.size() && WaitQueued(1, 2000ms))
    while (auto p = Take()) got.push_back(std::move(*p));

  ASSERT_EQ(got.size(), sent.size());
  for (size_t i = 0; i < sent.size(); ++i) EXPECT_EQ(got[i], sent[i]) << "package " << i;
}
