// TCommQueue: a fixed-capacity ring of bytes between exactly one producer
// thread and one consumer thread, without locks. Transfers never block: they
// move what fits (or what is held) and return how many bytes they moved.
//
// The hot path has no division: indexes wrap by compare-and-subtract, a
// transfer is one or two memcpy, and each side keeps its own copy of the
// other side's index and reads the shared one only when that copy says
// there is not enough room (or data), so that the two sides rarely touch
// each other's cache line.
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
  // The free bytes that follow each other in the buffer from the write
  // position, for a producer that fills the queue in place (a read() straight
  // into it); Commit publishes the first n of them.
  int32_t WriteSpan(uint8_t*& at);
  void Commit(int32_t n);

  // Consumer side.
  int32_t Out(uint8_t* b);
  int32_t Out(void* dest, int32_t n);
  // The held bytes that follow each other in the buffer from the read
  // position, for a consumer that empties the queue in place (a write()
  // straight from it); Consume drops the first n of them.
  int32_t ReadSpan(const uint8_t*& at);
  void Consume(int32_t n);
  // Drops every byte held, as a read would; returns how many. Safe while the
  // producer is writing (its later bytes stay), unlike Clear.
  int32_t Discard();

  int32_t Count() const;       // bytes held (any thread)
  int32_t FreeSpace() const;   // bytes that can still be written (any thread)
  void Clear();                // empties; must not overlap a transfer

private:
  int32_t Wrap(int32_t index) const { return index >= BufSize ? index - BufSize : index; }
  int32_t Held(int32_t in, int32_t out) const { return in >= out ? in - out : in - out + BufSize; }
  int32_t Space(int32_t in, int32_t out) const { return BufSize - 1 - Held(in, out); }
  void ResetIndexes();
  int32_t SeeOut();
  int32_t SeeIn();
  int32_t SpaceFor(int32_t in, int32_t want);
  int32_t HeldFor(int32_t out, int32_t want);
  template <bool IntoRing> int32_t Copy(int32_t index, uint8_t* outside, int32_t k);

  // Fixed between resizes; read by both sides.
  int32_t BufSize;
  uint8_t* Buffer;
  // Each index is written by one side only and published with release after
  // the bytes it covers are copied; the other side reads it with acquire.
  // Next to each index lies its side's copy of the other index (relaxed:
  // only that side uses it), on a cache line of its own.
  alignas(64) std::atomic<int32_t> InIndex;
  std::atomic<int32_t> OutSeen;  // producer's copy of OutIndex
  alignas(64) std::atomic<int32_t> OutIndex;
  std::atomic<int32_t> InSeen;   // consumer's copy of InIndex
  [[maybe_unused]] alignas(64) char EndPad[1];  // keeps what follows off the consumer's line
};

}  // namespace QuarlComm32
