#include "TCommQueue.h"

#include <cstdlib>
#include <cstring>

#include "EComm32Error.h"

namespace QuarlComm32 {

TCommQueue::TCommQueue(int32_t capacity) : BufSize(capacity), OutIndex(0), InIndex(0), Buffer(nullptr) {
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

void TCommQueue::fSetBufSize(int32_t n) {
  OutIndex.store(0, std::memory_order_relaxed);
  InIndex.store(0, std::memory_order_relaxed);
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

int32_t TCommQueue::In(const uint8_t* b) {
  if (Buffer == nullptr || b == nullptr) return 0;
  const int32_t in = InIndex.load(std::memory_order_relaxed);
  const int32_t out = OutIndex.load(std::memory_order_acquire);
  if (Space(in, out) < 1) return 0;
  Buffer[in] = *b;
  InIndex.store(Advance(in, 1), std::memory_order_release);
  return 1;
}

int32_t TCommQueue::In(const void* data, int32_t n) {
  if (Buffer == nullptr || n <= 0 || data == nullptr) return 0;
  const int32_t in = InIndex.load(std::memory_order_relaxed);
  const int32_t out = OutIndex.load(std::memory_order_acquire);
  const int32_t k = n < Space(in, out) ? n : Space(in, out);
  if (k <= 0) return 0;
  int32_t wrap = static_cast<int32_t>(int64_t{in} + k - BufSize);
  if (wrap < 0) wrap = 0;
  const auto* src = static_cast<const uint8_t*>(data);
  std::memcpy(Buffer + in, src, static_cast<size_t>(k - wrap));
  if (wrap > 0) std::memcpy(Buffer, src + (k - wrap), static_cast<size_t>(wrap));
  InIndex.store(Advance(in, k), std::memory_order_release);
  return k;
}

int32_t TCommQueue::Out(uint8_t* b) {
  if (Buffer == nullptr || b == nullptr) return 0;
  const int32_t out = OutIndex.load(std::memory_order_relaxed);
  const int32_t in = InIndex.load(std::memory_order_acquire);
  if (Held(in, out) < 1) return 0;
  *b = Buffer[out];
  OutIndex.store(Advance(out, 1), std::memory_order_release);
  return 1;
}

int32_t TCommQueue::Out(void* dest, int32_t n) {
  if (Buffer == nullptr || n <= 0 || dest == nullptr) return 0;
  const int32_t out = OutIndex.load(std::memory_order_relaxed);
  const int32_t in = InIndex.load(std::memory_order_acquire);
  const int32_t k = n < Held(in, out) ? n : Held(in, out);
  if (k <= 0) return 0;
  int32_t wrap = static_cast<int32_t>(int64_t{out} + k - BufSize);
  if (wrap < 0) wrap = 0;
  auto* dst = static_cast<uint8_t*>(dest);
  std::memcpy(dst, Buffer + out, static_cast<size_t>(k - wrap));
  if (wrap > 0) std::memcpy(dst + (k - wrap), Buffer, static_cast<size_t>(wrap));
  OutIndex.store(Advance(out, k), std::memory_order_release);
  return k;
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
  OutIndex.store(in, std::memory_order_release);
  return Held(in, out);
}

void TCommQueue::Clear() {
  OutIndex.store(0, std::memory_order_relaxed);
  InIndex.store(0, std::memory_order_relaxed);
}

}  // namespace QuarlComm32
