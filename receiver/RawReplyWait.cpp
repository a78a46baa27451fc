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

bool TReplyScanner::Feed(std::span<const uint8_t> bytes, uint32_t elapsedMs) {
  size_t i = 0;
  while (Copying) {
    if (Copied == Sent.size()) {
      // The whole request has come back: the byte after it decides.
      if (i < bytes.size()) Judge(bytes[i] == Sent[0]);
      else if (!LineEchoes && LastCopyAt > EchoWindowMs) Judge(false);
      break;
    }
    if (i == bytes.size()) {
      if (Copied > 0 && elapsedMs - LastCopyAt > CopyStallMs) Judge(false);
      break;
    }
    if (bytes[i] != Sent[Copied]) {
      Judge(false);
      break;
    }
    ++Copied, ++i;
    LastCopyAt = elapsedMs;
  }
  if (!Copying) Matcher.Feed(bytes.subspan(i));
  return Found();
}

void TReplyScanner::Judge(bool echo) {
  Copying = false;
  Echoed = echo;
  if (!echo) Matcher.Feed(Sent.first(Copied));
}

void DropReceived(const std::function<long(uint8_t* buf, long len)>& read) {
  constexpr long chunk = 300;
  uint8_t buf[chunk];
  for (int i = 0; i < 64 && read(buf, chunk) >= chunk; ++i) {
  }
}

bool WaitForReplyHead(const std::function<long(uint8_t* buf, long len)>& read, const TReplyHead& head,
                      uint32_t limitMs, IClock& clock, uint32_t& waitStart, uint32_t& waitNow,
                      const std::function<void()>& idle, const std::function<bool()>& stopped) {
  TReplyScanner scanner(head, {}, false);
  return WaitForReplyHead(read, scanner, limitMs, clock, waitStart, waitNow, idle, stopped);
}

bool WaitForReplyHead(const std::function<long(uint8_t* buf, long len)>& read, TReplyScanner& scanner,
                      uint32_t limitMs, IClock& clock, uint32_t& waitStart, uint32_t& waitNow,
                      const std::function<void()>& idle, const std::function<bool()>& stopped) {
  constexpr long chunk = 300;
  waitStart = waitNow = clock.TickCount();
  for (;;) {
    uint8_t buf[chunk];
    const long n = read(buf, chunk);
    // Never trust a count beyond the buffer handed out.
    const size_t got = n > 0 ? static_cast<size_t>(std::min(n, chunk)) : 0;
    waitNow = clock.TickCount();
    if (scanner.Feed(std::span<const uint8_t>(buf, got), waitNow - waitStart)) return true;
    // Unsigned difference: right across the 32-bit tick wrap-around.
    if (static_cast<uint32_t>(waitNow - waitStart) > limitMs) return false;
    if (idle) idle();
    if (stopped && stopped()) return false;
    if (n < chunk) clock.Sleep(RawWaitPollMs);
  }
}

}  // namespace Z500
