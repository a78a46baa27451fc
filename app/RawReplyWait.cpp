#include "RawReplyWait.h"

#include <algorithm>

namespace Z500 {

bool THeadMatcher::Feed(std::span<const uint8_t> bytes) {
  for (uint8_t b : bytes) {
    if (Found()) break;
    // A byte that breaks a partial match starts nothing new.
    Count = (b == Head[Count]) ? Count + 1 : 0;
  }
  return Found();
}

bool WaitForReplyHead(const std::function<long(uint8_t* buf, long len)>& read, const TReplyHead& head,
                      uint32_t limitMs, IClock& clock, uint32_t& waitStart, uint32_t& waitNow,
                      const std::function<void()>& idle, const std::function<bool()>& stopped) {
  constexpr long chunk = 300;
  THeadMatcher matcher(head);
  waitStart = waitNow = clock.TickCount();
  for (;;) {
    uint8_t buf[chunk];
    const long n = read(buf, chunk);
    // Never trust a count beyond the buffer handed out.
    const size_t got = n > 0 ? static_cast<size_t>(std::min(n, chunk)) : 0;
    if (matcher.Feed(std::span<const uint8_t>(buf, got))) return true;
    waitNow = clock.TickCount();
    // Unsigned difference: right across the 32-bit tick wrap-around.
    if (static_cast<uint32_t>(waitNow - waitStart) > limitMs) return false;
    if (idle) idle();
    if (stopped && stopped()) return false;
    if (n < chunk) clock.Sleep(RawWaitPollMs);
  }
}

}  // namespace Z500
