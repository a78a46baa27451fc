#include "TCommQueue.h"

#include <cstdlib>
#include <cstring>

#include "EComm32Error.h"

namespace QuarlComm32 {

TCommQueue::TCommQueue(int32_t capacity) : BufSize(capacity), Buffer(nullptr), InIndex(0), OutSeen(0), OutIndex(0), InSeen(0) {
  try {
    fSetBufSize(capacity);
  } catch (...) {
    try {
      fSetBufSize(0);
    } catch (...) {
    }
  }
}

TCommQueue::~TCommQueue() { fSetBufSize(0); }

void TCommQueue::ResetIndexes() {
  InIndex.store(0, std::memory_order_relaxed);
  OutSeen.store(0, std::memory_order_relaxed);
  OutIndex.store(0, std::memory_order_relaxed);
  InSeen.store(0, std::memory_order_relaxed);
}

void TCommQueue::fSetBufSize(int32_t n) {
  ResetIndexes();
  if (n > 0) {
    void* block = std::realloc(Buffer, static_cast<size_t>(n));
    if (block == nullptr) throw EComm32Error(ecOutOfMemory);
    Buffer = static_cast<uint8_t*>(block);
    BufSize = n;
  } else {
    std::free(Buffer);
    Buffer = nullptr;
  }
}

// Each side's look at the other side's index, kept as its copy.
int32_t TCommQueue::SeeOut() {
  const int32_t out = OutIndex.load(std::memory_order_acquire);
  OutSeen.store(out, std::memory_order_relaxed);
  return out;
}

int32_t TCommQueue::SeeIn() {
  const int32_t in = InIndex.load(std::memory_order_acquire);
  InSeen.store(in, std::memory_order_relaxed);
  return in;
}

// The producer's room from `in`: by its copy of OutIndex, and by OutIndex
// itself when the copy shows less than `want`. The consumer's bytes from
// `out` the same way.
int32_t TCommQueue::SpaceFor(int32_t in, int32_t want) {
  const int32_t space = Space(in, OutSeen.load(std::memory_order_relaxed));
  return space >= want ? space : Space(in, SeeOut());
}

int32_t TCommQueue::HeldFor(int32_t out, int32_t want) {
  const int32_t held = Held(InSeen.load(std::memory_order_relaxed), out);
  return held >= want ? held : Held(SeeIn(), out);
}

// Copies k bytes between `outside` and the ring from `index` on, into the
// ring or out of it, in one piece or two when they wrap; returns the index
// behind them.
template <bool IntoRing>
int32_t TCommQueue::Copy(int32_t index, uint8_t* outside, int32_t k) {
  auto move = [](uint8_t* ring, uint8_t* other, int32_t n) {
    if (IntoRing) std::memcpy(ring, other, static_cast<size_t>(n));
    else std::memcpy(other, ring, static_cast<size_t>(n));
  };
  const int32_t toEnd = BufSize - index;
  if (k < toEnd) {
    move(Buffer + index, outside, k);
    return index + k;
  }
  move(Buffer + index, outside, toEnd);
  move(Buffer, outside + toEnd, k - toEnd);
  return k - toEnd;
}

int32_t TCommQueue::In(const uint8_t* b) {
  if (Buffer == nullptr || b == nullptr) return 0;
  const int32_t in = InIndex.load(std::memory_order_relaxed);
  const int32_t next = Wrap(in + 1);
  if (next == OutSeen.load(std::memory_order_relaxed) && next == SeeOut()) return 0;  // full
  Buffer[in] = *b;
  InIndex.store(next, std::memory_order_release);
  return 1;
}

int32_t TCommQueue::In(const void* data, int32_t n) {
  if (Buffer == nullptr || n <= 0 || data == nullptr) return 0;
  const int32_t in = InIndex.load(std::memory_order_relaxed);
  const int32_t space = SpaceFor(in, n);
  const int32_t k = n < space ? n : space;
  if (k <= 0) return 0;
  InIndex.store(Copy<true>(in, const_cast<uint8_t*>(static_cast<const uint8_t*>(data)), k), std::memory_order_release);
  return k;
}

int32_t TCommQueue::WriteSpan(uint8_t*& at) {
  at = nullptr;
  if (Buffer == nullptr) return 0;
  const int32_t in = InIndex.load(std::memory_order_relaxed);
  const int32_t toEnd = BufSize - in;
  const int32_t space = SpaceFor(in, toEnd);
  at = Buffer + in;
  return space < toEnd ? space : toEnd;
}

void TCommQueue::Commit(int32_t n) {
  if (Buffer == nullptr || n <= 0) return;
  InIndex.store(Wrap(InIndex.load(std::memory_order_relaxed) + n), std::memory_order_release);
}

int32_t TCommQueue::Out(uint8_t* b) {
  if (Buffer == nullptr || b == nullptr) return 0;
  const int32_t out = OutIndex.load(std::memory_order_relaxed);
  if (out == InSeen.load(std::memory_order_relaxed) && out == SeeIn()) return 0;  // empty
  *b = Buffer[out];
  OutIndex.store(Wrap(out + 1), std::memory_order_release);
  return 1;
}

int32_t TCommQueue::Out(void* dest, int32_t n) {
  if (Buffer == nullptr || n <= 0 || dest == nullptr) return 0;
  const int32_t out = OutIndex.load(std::memory_order_relaxed);
  const int32_t held = HeldFor(out, n);
  const int32_t k = n < held ? n : held;
  if (k <= 0) return 0;
  OutIndex.store(Copy<false>(out, static_cast<uint8_t*>(dest), k), std::memory_order_release);
  return k;
}

int32_t TCommQueue::ReadSpan(const uint8_t*& at) {
  at = nullptr;
  if (Buffer == nullptr) return 0;
  const int32_t out = OutIndex.load(std::memory_order_relaxed);
  const int32_t toEnd = BufSize - out;
  const int32_t held = HeldFor(out, toEnd);
  at = Buffer + out;
  return held < toEnd ? held : toEnd;
}

void TCommQueue::Consume(int32_t n) {
  if (Buffer == nullptr || n <= 0) return;
  OutIndex.store(Wrap(OutIndex.load(std::memory_order_relaxed) + n), std::memory_order_release);
}

int32_t TCommQueue::Count() const {
  if (Buffer == nullptr) return 0;
  return Held(InIndex.load(std::memory_order_acquire), OutIndex.load(std::memory_order_acquire));
}

int32_t TCommQueue::FreeSpace() const {
  if (Buffer == nullptr) return 0;
  return Space(InIndex.load(std::memory_order_acquire), OutIndex.load(std::memory_order_acquire));
}

int32_t TCommQueue::Discard() {
  if (Buffer == nullptr) return 0;
  const int32_t in = InIndex.load(std::memory_order_acquire);
  const int32_t out = OutIndex.load(std::memory_order_relaxed);
  // Only the consumer moves OutIndex, so jumping it to the producer's published
  // index is the same as reading everything held, without the copy.
  InSeen.store(in, std::memory_order_relaxed);
  OutIndex.store(in, std::memory_order_release);
  return Held(in, out);
}

void TCommQueue::Clear() { ResetIndexes(); }

}  // namespace QuarlComm32
