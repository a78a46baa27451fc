// The raw reply wait: with packaging off, reads the raw byte stream until the
// four bytes of a reply head have been seen or a time limit has passed.
#pragma once

#include <cstdint>
#include <functional>
#include <span>

#include "Clock.h"
#include "ReceiverFrames.h"

namespace Z500 {

// Matches a reply head in a byte stream fed in pieces. A byte that breaks a
// partial match is not tried again as the head's first byte, so 24 24 24 53 52
// does not complete "$$SR" while 78 24 24 53 52 does. The partial match
// carries over from one piece to the next.
class THeadMatcher {
public:
  explicit THeadMatcher(const TReplyHead& head) : Head(head) {}
  // Feeds the next bytes; true once the head is complete. Bytes after the
  // head, and any fed later, are not examined.
  bool Feed(std::span<const uint8_t> bytes);
  bool Found() const { return Count == Head.size(); }

private:
  TReplyHead Head;
  size_t Count = 0;
};

// Reads up to 300 bytes at a time with `read` (which returns at once with
// what has arrived, 0 or less for nothing) until `head` is seen, or until more
// than `limitMs` have passed since the start, measured on `clock` as unsigned
// 32-bit ticks. `waitStart` and `waitNow` receive the tick at the start and
// the latest reading. Between reads it calls `idle` (when given) and, unless
// the last read filled its 300 bytes, sleeps RawWaitPollMs on `clock`, so the
// wait does not spin. When `stopped` (given) holds after `idle`, the wait
// ends at once without the head: the line it reads has gone. True when the
// head was seen.
bool WaitForReplyHead(const std::function<long(uint8_t* buf, long len)>& read, const TReplyHead& head,
                      uint32_t limitMs, IClock& clock, uint32_t& waitStart, uint32_t& waitNow,
                      const std::function<void()>& idle = {}, const std::function<bool()>& stopped = {});

// The pause between reads that found nothing new.
inline constexpr uint32_t RawWaitPollMs = 5;

}  // namespace Z500
