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

int32_t TCommQueue::In(const uint8_t* b) {
  if (Buffer == nullptr || b == nullptr) return 0;
  const int32_t in = InIndex.load(std::memory_order_relaxed);
  const int32_t next = Wrap(in + 1);
  if (next == OutSeen.load(std::memory_order_relaxed)) {
    const int32_t out = OutIndex.load(std::memory_order_acquire);
    OutSeen.store(out, std::memory_order_relaxed);
    if (next == out) return 0;
  }
  Buffer[in] = *b;
  InIndex.store(next, std::memory_order_release);
  return 1;
}

int32_t TCommQueue::In(const void* data, int32_t n) {
  if (Buffer == nullptr || n <= 0 || data == nullptr) return 0;
  const int32_t in = InIndex.load(std::memory_order_relaxed);
  int32_t space = Space(in, OutSeen.load(std::memory_order_relaxed));
  if (space < n) {
    const int32_t out = OutIndex.load(std::memory_order_acquire);
    OutSeen.store(out, std::memory_order_relaxed);
    space = Space(in, out);
  }
  const int32_t k = n < space ? n : space;
  if (k <= 0) return 0;
  const auto* src = static_cast<const uint8_t*>(data);
  const int32_t toEnd = BufSize - in;
  int32_t next;
  if (k < toEnd) {
    std::memcpy(Buffer + in, src, static_cast<size_t>(k));
    next = in + k;
  } else {
    std::memcpy(Buffer + in, src, static_cast<size_t>(toEnd));
    next = k - toEnd;
    std::memcpy(Buffer, src + toEnd, static_cast<size_t>(next));
  }
  InIndex.store(next, std::memory_order_release);
  return k;
}

int32_t TCommQueue::WriteSpan(uint8_t*& at) {
  at = nullptr;
  if (Buffer == nullptr) return 0;
  const int32_t in = InIndex.load(std::memory_order_relaxed);
  const int32_t toEnd = BufSize - in;
  int32_t space = Space(in, OutSeen.load(std::memory_order_relaxed));
  if (space < toEnd) {
    const int32_t out = OutIndex.load(std::memory_order_acquire);
    OutSeen.store(out, std::memory_order_relaxed);
    space = Space(in, out);
  }
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
  if (out == InSeen.load(std::memory_order_relaxed)) {
    const int32_t in = InIndex.load(std::memory_order_acquire);
    InSeen.store(in, std::memory_order_relaxed);
    if (out == in) return 0;
  }
  *b = Buffer[out];
  OutIndex.store(Wrap(out + 1), std::memory_order_release);
  return 1;
}

int32_t TCommQueue::Out(void* dest, int32_t n) {
  if (Buffer == nullptr || n <= 0 || dest == nullptr) return 0;
  const int32_t out = OutIndex.load(std::memory_order_relaxed);
  int32_t held = Held(InSeen.load(std::memory_order_relaxed), out);
  if (held < n) {
    const int32_t in = InIndex.load(std::memory_order_acquire);
    InSeen.store(in, std::memory_order_relaxed);
    held = Held(in, out);
  }
  const int32_t k = n < held ? n : held;
  if (k <= 0) return 0;
  auto* dst = static_cast<uint8_t*>(dest);
  const int32_t toEnd = BufSize - out;
  int32_t next;
  if (k < toEnd) {
    std::memcpy(dst, Buffer + out, static_cast<size_t>(k));
    next = out + k;
  } else {
    std::memcpy(dst, Buffer + out, static_cast<size_t>(toEnd));
    next = k - toEnd;
    std::memcpy(dst + toEnd, Buffer, static_cast<size_t>(next));
  }
  OutIndex.store(next, std::memory_order_release);
  return k;
}

int32_t TCommQueue::ReadSpan(const uint8_t*& at) {
  at = nullptr;
  if (Buffer == nullptr) return 0;
  const int32_t out = OutIndex.load(std::memory_order_relaxed);
  const int32_t toEnd = BufSize - out;
  int32_t held = Held(InSeen.load(std::memory_order_relaxed), out);
  if (held < toEnd) {
    const int32_t in = InIndex.load(std::memory_order_acquire);
    InSeen.store(in, std::memory_order_relaxed);
    held = Held(in, out);
  }
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
