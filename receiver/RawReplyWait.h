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

// Tells the receiver's answer from the echo of the request just written. A
// line that echoes (a loopback plug, an RS-485 adapter that hears itself)
// sends the request back whole and before anything else, and some answers
// begin like their request ("$$SRST" answered "$$SRST\r\n") or are the same
// bytes (the format's "$$FD" frame). So an exact copy of the request at the
// start of the stream is judged by what follows it: a new frame ('$') right
// after it makes it the echo; any other byte makes it the start of the
// answer. A copy with nothing after it is the echo when the line is known to
// echo or when it came within EchoWindowMs of the write (sooner than a
// receiver does the work); a later one is the answer. A beginning of the
// request that stops short for CopyStallMs is an answer that only begins
// like it. Everything after the copy, or the whole stream when it does not
// begin with one, goes through THeadMatcher.
class TReplyScanner {
public:
  // `sent` (kept by reference: it must outlive the scanner) may be empty:
  // then only the head is looked for.
  TReplyScanner(const TReplyHead& head, std::span<const uint8_t> sent, bool lineEchoes)
      : Matcher(head), Sent(sent), LineEchoes(lineEchoes), Copying(!sent.empty()) {}
  // Feeds the bytes read `elapsedMs` after the request was written (none:
  // only the time has moved on); true once the answer's head is seen.
  bool Feed(std::span<const uint8_t> bytes, uint32_t elapsedMs);
  bool Found() const { return Matcher.Found(); }
  // The request came back whole and was not taken for the answer (passed
  // over, or still held as the echo).
  bool EchoSeen() const { return Echoed || (Copying && Copied == Sent.size()); }

private:
  // Takes the copy as the echo (skipped) or as the start of the answer.
  void Judge(bool echo);

  THeadMatcher Matcher;
  std::span<const uint8_t> Sent;
  bool LineEchoes;
  bool Copying;             // the stream so far is a prefix of the request
  size_t Copied = 0;        // how much of it
  uint32_t LastCopyAt = 0;  // when its latest byte was read
  bool Echoed = false;
};

// A copy of the request that comes back alone this soon after the write is
// the line's echo, not the receiver's work.
inline constexpr uint32_t EchoWindowMs = 150;
// An echo comes back at the line's pace; a beginning of the request that
// stops for this long is an answer that only begins like it ("$$SR").
inline constexpr uint32_t CopyStallMs = 300;

// Reads up to 300 bytes at a time with `read` (which returns at once with
// what has arrived, 0 or less for nothing) and hands them to `scanner` until
// it has seen the answer's head, or until more than `limitMs` have passed
// since the start, measured on `clock` as unsigned 32-bit ticks. `waitStart`
// and `waitNow` receive the tick at the start and the latest reading. Between
// reads it calls `idle` (when given) and, unless the last read filled its 300
// bytes, sleeps RawWaitPollMs on `clock`, so the wait does not spin. When
// `stopped` (given) holds after `idle`, the wait ends at once without the
// head: the line it reads has gone. True when the head was seen.
bool WaitForReplyHead(const std::function<long(uint8_t* buf, long len)>& read, TReplyScanner& scanner,
                      uint32_t limitMs, IClock& clock, uint32_t& waitStart, uint32_t& waitNow,
                      const std::function<void()>& idle = {}, const std::function<bool()>& stopped = {});
// The same for a bare head, with no request to tell apart from it.
bool WaitForReplyHead(const std::function<long(uint8_t* buf, long len)>& read, const TReplyHead& head,
                      uint32_t limitMs, IClock& clock, uint32_t& waitStart, uint32_t& waitNow,
                      const std::function<void()>& idle = {}, const std::function<bool()>& stopped = {});

// Reads away what has been received so far (at most 64 reads of 300 bytes),
// so that nothing from before a request is scanned with its answer. Reading
// drops only what has arrived: a purge of the port could also drop an answer
// that the engine's reader takes in at that moment.
void DropReceived(const std::function<long(uint8_t* buf, long len)>& read);

// The pause between reads that found nothing new.
inline constexpr uint32_t RawWaitPollMs = 5;

}  // namespace Z500
