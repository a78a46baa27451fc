// The byte ring: capacity, wrap-around, partial transfers, resizing, bad
// arguments, and one producer and one consumer thread moving a long stream.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <numeric>
#include <random>
#include <thread>
#include <vector>

#include "EComm32Error.h"
#include "TCommQueue.h"

using QuarlComm32::TCommQueue;

namespace {

std::vector<uint8_t> Bytes(int n, uint8_t first = 0) {
  std::vector<uint8_t> v(static_cast<size_t>(n));
  std::iota(v.begin(), v.end(), first);
  return v;
}

// Moves both indexes of an empty queue on by n (to n in a new queue) by
// writing and reading n bytes.
void Advance(TCommQueue& q, int n) {
  std::vector<uint8_t> junk(static_cast<size_t>(n));
  ASSERT_EQ(q.In(junk.data(), n), n);
  ASSERT_EQ(q.Out(junk.data(), n), n);
  ASSERT_EQ(q.Count(), 0);
}

}  // namespace

TEST(TCommQueue, HoldsOneByteLessThanItsCapacity) {
  TCommQueue q(8192);
  auto data = Bytes(9000);
  EXPECT_EQ(q.In(data.data(), 9000), 8191);
  EXPECT_EQ(q.Count(), 8191);
  EXPECT_EQ(q.FreeSpace(), 0);
  uint8_t b = 1;
  EXPECT_EQ(q.In(&b), 0);
  EXPECT_EQ(q.In(data.data(), 5), 0);

  std::vector<uint8_t> out(9000, 0xEE);
  EXPECT_EQ(q.Out(out.data(), 9000), 8191);  // a partial read takes what is held
  EXPECT_TRUE(std::equal(out.begin(), out.begin() + 8191, data.begin()));
  EXPECT_EQ(out[8191], 0xEE);  // nothing written past what was taken
  EXPECT_EQ(q.Out(&b), 0);

  TCommQueue one(1);
  EXPECT_TRUE(one.HasBuffer());
  EXPECT_EQ(one.In(&b), 0);
  EXPECT_EQ(one.In(data.data(), 3), 0);
  EXPECT_EQ(one.Count(), 0);
}

TEST(TCommQueue, BlockTransfersWrapAroundTheEnd) {
  TCommQueue q(64);
  Advance(q, 54);
  const auto data = Bytes(25, 100);
  EXPECT_EQ(q.In(data.data(), 25), 25);  // 10 at the end, 15 at the start
  std::vector<uint8_t> out(25);
  EXPECT_EQ(q.Out(out.data(), 7), 7);
  EXPECT_EQ(q.Out(out.data() + 7, 18), 18);  // across the seam
  EXPECT_EQ(out, data);

  // A write that ends exactly at the end, then the next from position 0.
  Advance(q, 39);  // from 15 to 54
  EXPECT_EQ(q.In(data.data(), 10), 10);
  EXPECT_EQ(q.In(data.data() + 10, 15), 15);
  out.assign(25, 0);
  EXPECT_EQ(q.Out(out.data(), 25), 25);
  EXPECT_EQ(out, data);

  // Single bytes across the seam.
  Advance(q, 48);  // from 15 to 63
  for (uint8_t i = 0; i < 3; ++i) ASSERT_EQ(q.In(&i), 1);
  for (uint8_t i = 0; i < 3; ++i) {
    uint8_t b = 0xEE;
    ASSERT_EQ(q.Out(&b), 1);
    EXPECT_EQ(b, i);
  }
}

// In-place spans reach to the seam at most, leave the one free position
// alone, and publish only what is committed or consumed.
TEST(TCommQueue, InPlaceSpansStopAtTheSeamAndPublishOnlyWhatIsCommitted) {
  TCommQueue q(64);
  uint8_t* in = nullptr;
  const uint8_t* out = nullptr;
  EXPECT_EQ(q.WriteSpan(in), 63);  // empty: everything but the free position
  EXPECT_EQ(q.ReadSpan(out), 0);
  Advance(q, 54);
  ASSERT_EQ(q.WriteSpan(in), 10);  // to the seam
  for (uint8_t i = 0; i < 10; ++i) in[i] = i;
  q.Commit(4);
  EXPECT_EQ(q.Count(), 4);         // only what was committed
  q.Commit(6);
  ASSERT_EQ(q.WriteSpan(in), 53);  // from the start, up to one short of the read position
  for (uint8_t i = 0; i < 5; ++i) in[i] = static_cast<uint8_t>(10 + i);
  q.Commit(5);
  ASSERT_EQ(q.ReadSpan(out), 10);  // to the seam
  for (uint8_t i = 0; i < 10; ++i) EXPECT_EQ(out[i], i);
  q.Consume(10);
  ASSERT_EQ(q.ReadSpan(out), 5);
  EXPECT_EQ(out[4], 14);
  q.Consume(5);
  EXPECT_EQ(q.Count(), 0);

}

TEST(TCommQueue, ResizeAndClearEmptyTheQueue) {
  TCommQueue q(8192);
  auto data = Bytes(100);
  q.In(data.data(), 100);
  q.fSetBufSize(32);
  EXPECT_EQ(q.Count(), 0);
  EXPECT_EQ(q.In(data.data(), 100), 31);

  q.Clear();
  EXPECT_EQ(q.Count(), 0);
  EXPECT_EQ(q.fGetBufSize(), 32);
  EXPECT_EQ(q.In(data.data(), 100), 31);

  q.fSetBufSize(0);
  EXPECT_FALSE(q.HasBuffer());
  EXPECT_EQ(q.fGetBufSize(), 32);  // the capacity is left as it was
  uint8_t b = 0;
  EXPECT_EQ(q.In(&b), 0);
  EXPECT_EQ(q.Out(data.data(), 10), 0);

  q.fSetBufSize(16);  // a buffer again
  EXPECT_EQ(q.In(data.data(), 100), 15);
}

TEST(TCommQueue, BadArgumentsMoveNothing) {
  TCommQueue q(64);
  auto data = Bytes(10);
  EXPECT_EQ(q.In(data.data(), 0), 0);
  EXPECT_EQ(q.In(data.data(), -5), 0);
  EXPECT_EQ(q.In(nullptr, 5), 0);
  EXPECT_EQ(q.In(static_cast<const uint8_t*>(nullptr)), 0);
  EXPECT_EQ(q.Count(), 0);
  q.In(data.data(), 10);
  EXPECT_EQ(q.Out(data.data(), 0), 0);
  EXPECT_EQ(q.Out(data.data(), -1), 0);
  EXPECT_EQ(q.Out(nullptr, 5), 0);
  EXPECT_EQ(q.Out(static_cast<uint8_t*>(nullptr)), 0);
  EXPECT_EQ(q.Count(), 10);

  for (int capacity : {0, -8}) {
    TCommQueue none(capacity);
    EXPECT_FALSE(none.HasBuffer());
    EXPECT_EQ(none.In(data.data(), 10), 0);
    EXPECT_EQ(none.Count(), 0);
    uint8_t* in = nullptr;
    const uint8_t* out = nullptr;
    EXPECT_EQ(none.WriteSpan(in), 0);
    EXPECT_EQ(none.ReadSpan(out), 0);
  }
}

// Storage that cannot be had: the constructor gives a queue without buffer;
// a resize throws code 1 and keeps the old buffer. Run in a child whose address
// space is limited, so the allocation really fails.
TEST(TCommQueue, OutOfMemoryKeepsTheOldBuffer) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "sanitizers reserve more address space than the limit allows";
#else
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    rlimit limit{512u << 20, 512u << 20};
    if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(10);
    TCommQueue big(1 << 30);
    if (big.HasBuffer() || big.fGetBufSize() != (1 << 30)) _exit(11);
    TCommQueue q(64);
    uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    q.In(data, 8);
    try {
      q.fSetBufSize(1 << 30);
      _exit(12);
    } catch (const QuarlComm32::EComm32Error& e) {
      if (e.ErrorCode != QuarlComm32::ecOutOfMemory) _exit(13);
    }
    if (q.fGetBufSize() != 64 || q.Count() != 0 || q.In(data, 100) != 63) _exit(14);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
#endif
}

// One producer, one consumer, random chunk sizes, through a queue whose
// capacity is not a power of two; every byte is checked against the
// sequence. Each form of transfer: blocks, in place (a read() straight into
// the queue, a write() straight from it) and single bytes.
TEST(TCommQueue, TwoThreadsMoveTheStreamInOrderWithEveryFormOfTransfer) {
  enum Form { kBlocks, kInPlace, kBytes };
  const struct Case {
    const char* name;
    Form form;
    int64_t total;
  } cases[] = {{"blocks", kBlocks, int64_t{16} << 20}, {"in place", kInPlace, int64_t{16} << 20},
               {"single bytes", kBytes, int64_t{1} << 20}};
  auto expected = [](int64_t i) { return static_cast<uint8_t>(i ^ (i >> 8) ^ (i >> 17)); };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TCommQueue q(8191);
    std::atomic<bool> stop{false};  // the consumer gives up on the first wrong byte

    std::thread producer([&] {
      std::mt19937 rng(1);
      std::uniform_int_distribution<int32_t> chunk(1, 2048);
      std::vector<uint8_t> buf(2048);
      int64_t sent = 0;
      while (sent < c.total && !stop.load(std::memory_order_relaxed)) {
        const int32_t n = static_cast<int32_t>(std::min<int64_t>(chunk(rng), c.total - sent));
        int32_t k = 0;
        if (c.form == kInPlace) {
          uint8_t* at;
          k = std::min(q.WriteSpan(at), n);
          for (int32_t i = 0; i < k; ++i) at[i] = expected(sent + i);
          q.Commit(k);
        } else {
          for (int32_t i = 0; i < n; ++i) buf[static_cast<size_t>(i)] = expected(sent + i);
          if (c.form == kBlocks) k = q.In(buf.data(), n);
          else
            while (k < n && q.In(&buf[static_cast<size_t>(k)]) == 1) ++k;
        }
        sent += k;
        if (k == 0) std::this_thread::yield();
      }
    });

    std::mt19937 rng(2);
    std::uniform_int_distribution<int32_t> chunk(1, 3000);
    std::vector<uint8_t> buf(3000);
    int64_t received = 0, bad = -1;
    // A queue that lost bytes would leave the consumer waiting for ever.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(25);
    while (received < c.total && bad < 0 && std::chrono::steady_clock::now() < deadline) {
      const int32_t want = chunk(rng);
      const uint8_t* got = buf.data();
      int32_t k = 0;
      if (c.form == kInPlace) k = std::min(q.ReadSpan(got), want);
      else if (c.form == kBlocks) k = q.Out(buf.data(), want);
      else
        while (k < want && q.Out(&buf[static_cast<size_t>(k)]) == 1) ++k;
      if (k == 0) {
        std::this_thread::yield();
        continue;
      }
      for (int32_t i = 0; i < k && bad < 0; ++i)
        if (got[i] != expected(received + i)) bad = received + i;
      if (c.form == kInPlace) q.Consume(k);
      received += k;
    }
    stop.store(true, std::memory_order_relaxed);
    producer.join();
    EXPECT_EQ(bad, -1) << "first wrong byte at offset " << bad;
    EXPECT_EQ(received, c.total);
    EXPECT_EQ(q.Count(), 0);
  }
}
