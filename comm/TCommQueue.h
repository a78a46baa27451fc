// TCommQueue: a fixed-capacity ring of bytes between exactly one producer
// thread and one consumer thread, without locks. Transfers never block: they
// move what fits (or what is held) and return how many bytes they moved.
#pragma once

#include <atomic>
#include <cstdint>

namespace QuarlComm32 {

class TCommQueue {
public:
  // A capacity of 0 or less, or storage that cannot be had, gives a queue
  // without buffer (every transfer returns 0); the constructor never throws.
  explicit TCommQueue(int32_t capacity);
  virtual ~TCommQueue();
  TCommQueue(const TCommQueue&) = delete;
  TCommQueue& operator=(const TCommQueue&) = delete;

  // Empties the queue, then resizes it. n <= 0 releases the buffer. Throws
  // EComm32Error(ecOutOfMemory) when the storage cannot be had; the old buffer
  // and capacity are kept (empty). Must not overlap a transfer.
  void fSetBufSize(int32_t n);
  int32_t fGetBufSize() const { return BufSize; }
  bool HasBuffer() const { return Buffer != nullptr; }

  // Producer side.
  int32_t In(const uint8_t* b);
  int32_t In(const void* data, int32_t n);
  // Consumer side.
  int32_t Out(uint8_t* b);
  int32_t Out(void* dest, int32_t n);
  // Drops every byte held, as a read would; returns how many. Safe while the
  // producer is writing (its later bytes stay), unlike Clear.
  int32_t Discard();

  int32_t Count() const;       // bytes held
  int32_t FreeSpace() const;   // bytes that can still be written
  void Clear();                // empties; must not overlap a transfer

private:
  // In 64 bits: a capacity near 2^31 must not overflow the sums.
  int32_t Space(int64_t in, int64_t out) const { return static_cast<int32_t>((out - in + BufSize - 1) % BufSize); }
  int32_t Held(int64_t in, int64_t out) const { return static_cast<int32_t>((in - out + BufSize) % BufSize); }
  int32_t Advance(int64_t index, int32_t k) const { return static_cast<int32_t>((index + k) % BufSize); }

  int32_t BufSize;
  // Each index is written by one side only and published with release after
  // the bytes it covers are copied; the other side reads it with acquire.
  // Kept on separate cache lines so the two sides do not contend.
  alignas(64) std::atomic<int32_t> OutIndex;
  alignas(64) std::atomic<int32_t> InIndex;
  alignas(64) uint8_t* Buffer;
};

}  // namespace QuarlComm32
