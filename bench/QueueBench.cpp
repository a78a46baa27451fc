// The byte queue between two threads against boost::lockfree::spsc_queue of
// the same capacity, and a single-thread memcpy of the same chunks, in one
// run: MB/s at chunks of 1, 64, 2048 and 4096 bytes, median of the repeats.
//
//   queue_bench            (BENCH_REPEATS, default 5)
#include <boost/lockfree/spsc_queue.hpp>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "BenchUtil.h"
#include "TCommQueue.h"

using namespace bench;

namespace {

constexpr int32_t kCapacity = 8192;

// Moves `total` bytes from a producer thread to this thread in chunks of
// `chunk`, through push/pop functions that move up to n bytes and return
// how many; both sides retry (yielding) while full or empty.
template <class Push, class Pop>
double TwoThreads(int64_t total, int32_t chunk, Push push, Pop pop) {
  std::vector<uint8_t> src(static_cast<size_t>(chunk), 0x5A), dst(static_cast<size_t>(chunk));
  const auto t0 = Clock::now();
  std::thread producer([&] {
    for (int64_t sent = 0; sent < total;) {
      const int32_t n = static_cast<int32_t>(std::min<int64_t>(chunk, total - sent));
      int32_t done = 0;
      while (done < n) {
        const int32_t k = push(src.data() + done, n - done);
        if (k == 0) std::this_thread::yield();
        done += k;
      }
      sent += n;
    }
  });
  int64_t got = 0;
  while (got < total) {
    const int32_t k = pop(dst.data(), chunk);
    if (k == 0) std::this_thread::yield();
    got += k;
  }
  producer.join();
  return static_cast<double>(total) / Seconds(Clock::now() - t0) / 1e6;
}

double Ours(int64_t total, int32_t chunk) {
  QuarlComm32::TCommQueue q(kCapacity);
  if (chunk == 1)
    return TwoThreads(total, chunk, [&](const uint8_t* p, int32_t) { return q.In(p); },
                      [&](uint8_t* p, int32_t) { return q.Out(p); });
  return TwoThreads(total, chunk, [&](const uint8_t* p, int32_t n) { return q.In(p, n); },
                    [&](uint8_t* p, int32_t n) { return q.Out(p, n); });
}

double Boost(int64_t total, int32_t chunk) {
  boost::lockfree::spsc_queue<uint8_t, boost::lockfree::capacity<kCapacity>> q;
  if (chunk == 1)
    return TwoThreads(total, chunk, [&](const uint8_t* p, int32_t) { return q.push(*p) ? 1 : 0; },
                      [&](uint8_t* p, int32_t) { return q.pop(*p) ? 1 : 0; });
  return TwoThreads(total, chunk,
                    [&](const uint8_t* p, int32_t n) { return static_cast<int32_t>(q.push(p, static_cast<size_t>(n))); },
                    [&](uint8_t* p, int32_t n) { return static_cast<int32_t>(q.pop(p, static_cast<size_t>(n))); });
}

// One thread copying the same chunks within an 8 KiB buffer.
double Memcpy(int64_t total, int32_t chunk) {
  std::vector<uint8_t> src(kCapacity, 0x5A), dst(kCapacity);
  const int32_t slots = kCapacity / chunk;
  const auto t0 = Clock::now();
  int32_t slot = 0;
  for (int64_t done = 0; done < total; done += chunk) {
    std::memcpy(dst.data() + slot * chunk, src.data() + slot * chunk, static_cast<size_t>(chunk));
    if (++slot == slots) slot = 0;
    asm volatile("" : : "r"(dst.data()) : "memory");  // keep the copy
  }
  return static_cast<double>(total) / Seconds(Clock::now() - t0) / 1e6;
}

}  // namespace

int main() {
  const int repeats = static_cast<int>(EnvCount("BENCH_REPEATS", 5));
  std::printf("byte queue, capacity %d, producer and consumer threads; median of %d runs\n", kCapacity, repeats);
  std::printf("%-7s %14s %14s %8s %14s\n", "chunk", "TCommQueue", "boost spsc", "ratio", "memcpy 1 thr");
  for (int32_t chunk : {1, 64, 2048, 4096}) {
    const int64_t total = chunk == 1 ? int64_t{16} << 20 : int64_t{256} << 20;
    std::vector<double> ours, boost, copy;
    for (int i = 0; i < repeats; ++i) {
      // Alternated, so that a noisy moment of the machine hits both.
      ours.push_back(Ours(total, chunk));
      boost.push_back(Boost(total, chunk));
      copy.push_back(Memcpy(total, chunk));
    }
    const double o = Median(ours), b = Median(boost);
    std::printf("%-7d %9.0f MB/s %9.0f MB/s %8.2f %9.0f MB/s\n", chunk, o, b, o / b, Median(copy));
  }
  return 0;
}
