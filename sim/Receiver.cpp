#include "Receiver.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

namespace z500sim {

namespace {

using std::chrono::milliseconds;

constexpr char kUnlog[] = "unlogall com1\r\n";
constexpr size_t kUnlogLength = sizeof kUnlog - 1;
// The tool's longest standard frame carries 29 names (232 bytes); a length
// field far above that is noise, not a frame to wait for.
constexpr size_t kMaxPayload = 1024;
constexpr milliseconds kStale{500};

enum class Match { NotAFrame, NeedMore, Complete };

struct Found {
  Match match = Match::NotAFrame;
  size_t length = 0;
  FrameKind kind = FrameKind::Garbage;
};

Found Need() { return {Match::NeedMore, 0, FrameKind::Garbage}; }
Found Not() { return {}; }
Found Complete(size_t length, FrameKind kind) { return {Match::Complete, length, kind}; }

uint8_t CheckByte(const uint8_t* p, size_t n) {
  uint8_t x = 0;
  for (size_t i = 0; i < n; ++i) x ^= p[i];
  return x;
}

// Is there a frame at p? Frames are told apart by their first bytes:
// "$$VS" and "$$SRST" are 6 bytes, "$$VX" 9 + n, other "$$F?" and "$$S?"
// standard frames L + 9 and end in CR LF; the unlog text is 15 characters,
// and takes the 0x00 the tool sends after it when that has already arrived.
Found FindFrame(const uint8_t* p, size_t n) {
  if (p[0] == 'u') {
    const size_t have = std::min(n, kUnlogLength);
    if (std::memcmp(p, kUnlog, have) != 0) return Not();
    if (n < kUnlogLength) return Need();
    return Complete(n > kUnlogLength && p[kUnlogLength] == 0 ? kUnlogLength + 1 : kUnlogLength, FrameKind::Unlog);
  }
  if (p[0] != '$') return Not();
  if (n < 2) return Need();
  if (p[1] != '$') return Not();
  if (n < 4) return Need();
  const uint8_t cls = p[2], cmd = p[3];
  if (cls == 'V') {
    if (cmd == 'S') return n < 6 ? Need() : Complete(6, FrameKind::Handshake);
    if (cmd != 'X') return Not();
    if (n < 5) return Need();
    const size_t length = 9 + p[4];
    return n < length ? Need() : Complete(length, FrameKind::Block);
  }
  if (cls == 'S' && cmd == 'R') {
    if (n < 6) return Need();
    return p[4] == 'S' && p[5] == 'T' ? Complete(6, FrameKind::SerialReset) : Not();
  }
  if (cls != 'F' && cls != 'S') return Not();
  if (n < 6) return Need();
  const size_t payload = p[4] | (p[5] << 8);
  if (payload > kMaxPayload) return Not();
  const size_t length = payload + 9;
  if (n < length) return Need();
  if (p[length - 2] != '\r' || p[length - 1] != '\n') return Not();
  FrameKind kind = FrameKind::OtherStandard;
  if (cls == 'F' && cmd == 'J') {
    if (payload == 0) kind = FrameKind::ReadParameters;
    else if (payload == 2) kind = FrameKind::WriteParameters;
  } else if (cls == 'F' && cmd == 'M') {
    kind = FrameKind::Directory;
  } else if (cls == 'F' && cmd == 'D') {
    kind = payload == 0 ? FrameKind::Format : FrameKind::Delete;
  } else if (cls == 'S' && cmd == 'I') {
    kind = FrameKind::Sound;
  }
  return Complete(length, kind);
}

uint32_t Get32BigEndian(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (p[1] << 16) | (p[2] << 8) | p[3];
}

void Put32BigEndian(Bytes& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

// Garbage for --garbage: bytes a noisy line or a half-booted receiver might
// give, with no '$' in them so they never start a head.
Bytes GarbageBytes(size_t n) {
  static const uint8_t pattern[] = {0x00, 0xFF, 0x7E, 0x55, 0xAA, 0x0D, 0x0A, 0x3F, 0x80, 0x13};
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = pattern[i % sizeof pattern];
  return b;
}

}  // namespace

const char* KindName(FrameKind kind) {
  switch (kind) {
    case FrameKind::ReadParameters: return "read parameters";
    case FrameKind::WriteParameters: return "write parameters";
    case FrameKind::Directory: return "directory request";
    case FrameKind::Delete: return "delete files";
    case FrameKind::Format: return "format";
    case FrameKind::Sound: return "sound";
    case FrameKind::SerialReset: return "serial reset";
    case FrameKind::Handshake: return "upgrade handshake";
    case FrameKind::Block: return "firmware block";
    case FrameKind::Unlog: return "unlog";
    case FrameKind::OtherStandard: return "unknown standard frame";
    case FrameKind::Garbage: return "garbage";
  }
  return "?";
}

Bytes StandardFrame(char frameClass, char command, const Bytes& payload) {
  const size_t length = payload.size();
  Bytes f(length + 9);
  f[0] = f[1] = '$';
  f[2] = static_cast<uint8_t>(frameClass);
  f[3] = static_cast<uint8_t>(command);
  f[4] = static_cast<uint8_t>(length);
  f[5] = static_cast<uint8_t>(length >> 8);
  std::copy(payload.begin(), payload.end(), f.begin() + 6);
  f[6 + length] = CheckByte(f.data(), 6 + length);
  f[7 + length] = '\r';
  f[8 + length] = '\n';
  return f;
}

Receiver::Receiver(const Options& options)
    : options_(options),
      logging_(!options.unlogged),
      interval_(options.interval),
      cutoff_(options.cutoff),
      files_(GenerateFiles(options.files)) {}

std::optional<size_t> Receiver::FrameEndWithin(const uint8_t* data, size_t size, Clock::time_point firstAt) const {
  // What Feed would see: the waiting bytes, unless stale, then `data`.
  Bytes all = pending_.empty() || firstAt - lastFeed_ > kStale ? Bytes() : pending_;
  const size_t before = all.size();
  all.insert(all.end(), data, data + size);
  // Taken a byte at a time, as Feed takes them on a paced line: a head that
  // waits for more bytes holds up what follows it, even a whole frame, until
  // enough have come to tell it is none.
  size_t pos = 0;
  for (size_t n = before + 1; n <= all.size(); ++n) {
    while (pos < n) {
      const Found found = FindFrame(all.data() + pos, n - pos);
      if (found.match == Match::NeedMore) break;
      if (found.match == Match::NotAFrame) {
        ++pos;
        continue;
      }
      // The unlog text takes the 0x00 after it along when that has come too
      // (once: a text that already holds its 0x00 leaves a second one).
      const bool zero = found.kind == FrameKind::Unlog && found.length == kUnlogLength && pos + found.length == n &&
                        n < all.size() && all[n] == 0;
      return n - before + (zero ? 1 : 0);
    }
  }
  return std::nullopt;
}

std::vector<Reaction> Receiver::Feed(const uint8_t* data, size_t size, Clock::time_point firstAt,
                                     Clock::time_point lastAt) {
  std::vector<Reaction> out;
  if (options_.echo) {
    // A loopback plug: the bytes go straight back and no receiver sees them.
    Reaction r;
    r.frame.bytes.assign(data, data + size);
    counters_.garbageBytes += size;
    r.outputs.push_back({milliseconds{0}, false, r.frame.bytes, false});
    out.push_back(std::move(r));
    return out;
  }
  auto flushGarbage = [&](size_t from, size_t to) {
    if (from == to) return;
    Reaction r;
    r.frame.bytes.assign(pending_.begin() + static_cast<ptrdiff_t>(from), pending_.begin() + static_cast<ptrdiff_t>(to));
    counters_.garbageBytes += to - from;
    out.push_back(std::move(r));
  };
  // A frame is sent whole; the rest of one never came.
  if (!pending_.empty() && firstAt - lastFeed_ > kStale) {
    flushGarbage(0, pending_.size());
    pending_.clear();
  }
  lastFeed_ = lastAt;
  pending_.insert(pending_.end(), data, data + size);

  size_t pos = 0, garbageFrom = 0;
  while (pos < pending_.size()) {
    if (std::exchange(zeroAfterUnlog_, false) && pending_[pos] == 0) {
      // The 0x00 after an unlog text that was taken before it arrived.
      garbageFrom = ++pos;
      continue;
    }
    const Found found = FindFrame(pending_.data() + pos, pending_.size() - pos);
    if (found.match == Match::NeedMore) break;
    if (found.match == Match::NotAFrame) {
      ++pos;
      continue;
    }
    flushGarbage(garbageFrom, pos);
    Frame frame;
    frame.kind = found.kind;
    frame.bytes.assign(pending_.begin() + static_cast<ptrdiff_t>(pos),
                       pending_.begin() + static_cast<ptrdiff_t>(pos + found.length));
    pos += found.length;
    garbageFrom = pos;
    zeroAfterUnlog_ = found.kind == FrameKind::Unlog && found.length == kUnlogLength;
    out.push_back(Handle(std::move(frame)));
  }
  flushGarbage(garbageFrom, pos);
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<ptrdiff_t>(pos));
  return out;
}

std::vector<Output> Receiver::Answer(Bytes answer, milliseconds delay, bool hangup) {
  ++counters_.answers;
  const bool dropped = options_.silent || std::find(options_.dropAnswers.begin(), options_.dropAnswers.end(),
                                                    counters_.answers) != options_.dropAnswers.end();
  std::vector<Output> out;
  if (dropped) {
    ++counters_.droppedAnswers;
    if (hangup) out.push_back({delay, false, {}, true});
    return out;
  }
  Bytes first = GarbageBytes(options_.garbage);
  if (options_.splitAnswers && answer.size() > 1) {
    const auto half = answer.begin() + static_cast<ptrdiff_t>(answer.size() / 2);
    first.insert(first.end(), answer.begin(), half);
    out.push_back({delay, false, std::move(first), false});
    out.push_back({kSplitPause, true, Bytes(half, answer.end()), hangup});
  } else {
    first.insert(first.end(), answer.begin(), answer.end());
    out.push_back({delay, false, std::move(first), hangup});
  }
  return out;
}

Reaction Receiver::Handle(Frame frame) {
  ++counters_.frames;
  const milliseconds reply{options_.replyDelayMs};
  const Bytes& f = frame.bytes;
  const uint8_t* payload = f.data() + 6;
  const size_t length = f.size() >= 9 ? f.size() - 9 : 0;
  std::vector<Output> outputs;

  switch (frame.kind) {
    case FrameKind::ReadParameters:
    case FrameKind::WriteParameters:
    case FrameKind::Directory:
    case FrameKind::Delete:
    case FrameKind::Format:
    case FrameKind::Sound:
    case FrameKind::OtherStandard:
      // Answered whatever the check byte says, like the real receiver.
      frame.checkOk = CheckByte(f.data(), 6 + length) == f[6 + length];
      break;
    default:
      break;
  }

  switch (frame.kind) {
    case FrameKind::ReadParameters:
      outputs = Answer(StandardFrame('F', 'J', {interval_, cutoff_}), reply);
      break;
    case FrameKind::WriteParameters:
      interval_ = payload[0];
      cutoff_ = payload[1];
      outputs = Answer(StandardFrame('F', 'J'), reply);
      break;
    case FrameKind::Directory: {
      if (length != 3) break;  // not the tool's request: no answer
      // Byte 0 is the number of entries asked for (the tool asks for 8, a
      // full page); bytes 1 and 2 the index of the first.
      const size_t count = std::min<size_t>(payload[0], 8);
      const size_t first = options_.repeatPage ? 0 : payload[1] | (payload[2] << 8);
      Bytes page;
      for (size_t i = first; i < first + count && i < files_.size(); ++i)
        page.insert(page.end(), files_[i].bytes.begin(), files_[i].bytes.end());
      outputs = Answer(StandardFrame('F', 'M', page), reply);
      break;
    }
    case FrameKind::Delete:
      for (size_t k = 0; k + 8 <= length; k += 8) {
        std::erase_if(files_, [&](const DirEntry& e) { return std::memcmp(e.bytes.data(), payload + k, 8) == 0; });
      }
      outputs = Answer(StandardFrame('F', 'D'), reply);
      break;
    case FrameKind::Format:
      files_.clear();
      outputs = Answer(StandardFrame('F', 'D'), milliseconds{options_.formatTimeMs});
      break;
    case FrameKind::Sound:
      if (length == 4 && payload[0] == 0xFF && payload[1] == 0xFF && payload[2] == 0x01 && payload[3] == 0xFF)
        soundOn_ = true;
      outputs = Answer(StandardFrame('S', 'I'), reply);
      break;
    case FrameKind::SerialReset:
      // The port is at its default already; confirm with the command echoed.
      outputs = Answer({'$', '$', 'S', 'R', 'S', 'T', '\r', '\n'}, reply);
      break;
    case FrameKind::Unlog:
      logging_ = false;
      break;
    case FrameKind::Handshake: {
      ++counters_.handshakes;
      if (counters_.handshakes <= options_.handshakeAfter) break;
      // An answered handshake starts a new upgrade.
      firmware_.clear();
      counters_.blocks = 0;
      const bool hangup = options_.hangupAfter && *options_.hangupAfter == 0;
      outputs = Answer({'$', '$', 'V', 'S', 0x01, options_.hardwareVersion}, reply, hangup);
      break;
    }
    case FrameKind::Block: {
      const uint32_t k = static_cast<uint32_t>(++counters_.blocks);
      const size_t n = f[4];
      const uint32_t address = Get32BigEndian(&f[5]);
      uint8_t result = 0;
      if (options_.blockResult && options_.blockResultAt == k) {
        result = *options_.blockResult;
      } else if (address < kFirmwareBase || address - kFirmwareBase + n > kMaxFirmware) {
        result = 1;
      } else {
        const size_t offset = address - kFirmwareBase;
        if (firmware_.size() < offset + n) firmware_.resize(offset + n);
        std::copy(f.begin() + 9, f.end(), firmware_.begin() + static_cast<ptrdiff_t>(offset));
      }
      const uint32_t answered = options_.badAddressAt == k ? address + 0x80 : address;
      Bytes answer = {'$', '$', 'V', 'X', 0x01, result};
      Put32BigEndian(answer, answered);
      const bool hangup = options_.hangupAfter && *options_.hangupAfter == k;
      outputs = Answer(std::move(answer), reply, hangup);
      break;
    }
    case FrameKind::OtherStandard:
    case FrameKind::Garbage:
      break;
  }
  return {std::move(frame), std::move(outputs)};
}

Bytes Receiver::PositionSentence(std::time_t t) {
  std::tm utc{};
  gmtime_r(&t, &utc);
  // A fix near Beijing with a little wander, so the lines are not all alike.
  const int wander = static_cast<int>(t % 60);
  char body[120];
  std::snprintf(body, sizeof body, "GPGGA,%02d%02d%02d.00,3954.%04d,N,11623.%04d,E,1,%02d,0.9,%.1f,M,-8.4,M,,",
                utc.tm_hour, utc.tm_min, utc.tm_sec, 1234 + wander, 5678 + wander / 2, 9 + wander % 6,
                52.0 + wander / 10.0);
  uint8_t sum = 0;
  for (const char* c = body; *c; ++c) sum ^= static_cast<uint8_t>(*c);
  char line[140];
  const int n = std::snprintf(line, sizeof line, "$%s*%02X\r\n", body, sum);
  return Bytes(line, line + n);
}

std::string Hex(const Bytes& bytes, size_t max) {
  std::string s;
  char b[4];
  for (size_t i = 0; i < bytes.size() && i < max; ++i) {
    std::snprintf(b, sizeof b, i ? " %02X" : "%02X", bytes[i]);
    s += b;
  }
  if (bytes.size() > max) s += " ...";
  return s;
}

std::string DescribeReceived(const Frame& frame) {
  const Bytes& f = frame.bytes;
  std::string s = KindName(frame.kind);
  char b[96] = "";
  switch (frame.kind) {
    case FrameKind::WriteParameters:
      std::snprintf(b, sizeof b, ": interval %u s, cut-off %u deg", f[6], f[7]);
      break;
    case FrameKind::Directory:
      if (f.size() == 12) std::snprintf(b, sizeof b, ": %u entries from index %u", f[6], f[7] | (f[8] << 8));
      break;
    case FrameKind::Delete:
      s += ":";
      for (size_t k = 6; k + 8 <= f.size() - 3; k += 8) s += " '" + std::string(f.begin() + k, f.begin() + k + 8) + "'";
      break;
    case FrameKind::Block:
      std::snprintf(b, sizeof b, ": %u bytes at 0x%08X", f[4], Get32BigEndian(&f[5]));
      break;
    case FrameKind::OtherStandard:
      std::snprintf(b, sizeof b, " '%c%c', length %zu", f[2], f[3], f.size() - 9);
      break;
    case FrameKind::Garbage:
      std::snprintf(b, sizeof b, ": %zu bytes skipped", f.size());
      break;
    default:
      break;
  }
  s += b;
  if (!frame.checkOk) s += " (wrong check byte, answered anyway)";
  return s;
}

std::string DescribeSent(const Bytes& f) {
  char b[96];
  if (f.size() >= 6 && f[0] == '$' && f[1] == '$' && f[2] == 'V') {
    if (f[3] == 'S') std::snprintf(b, sizeof b, "handshake answer: hardware version %u", f[5]);
    else if (f.size() >= 10)
      std::snprintf(b, sizeof b, "block answer: result %u, address 0x%08X", f[5], Get32BigEndian(&f[6]));
    else return "class V answer";
    return b;
  }
  if (f.size() >= 4 && f[0] == '$' && f[1] == '$' && f[2] == 'S' && f[3] == 'R') return "serial reset answer";
  if (f.size() >= 9 && f[0] == '$' && f[1] == '$') {
    const size_t length = f[4] | (f[5] << 8);
    if (f[2] == 'F' && f[3] == 'J' && length == 2)
      std::snprintf(b, sizeof b, "parameters: interval %u s, cut-off %u deg", f[6], f[7]);
    else if (f[2] == 'F' && f[3] == 'J') std::snprintf(b, sizeof b, "parameters set");
    else if (f[2] == 'F' && f[3] == 'M') std::snprintf(b, sizeof b, "directory page: %zu entries", length / 32);
    else if (f[2] == 'F' && f[3] == 'D') std::snprintf(b, sizeof b, "delete/format done");
    else std::snprintf(b, sizeof b, "'%c%c' answer, length %zu", f[2], f[3], length);
    return b;
  }
  if (!f.empty() && f[0] == '$') {
    std::string line(f.begin(), f.end());
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    return line;
  }
  return "raw bytes";
}

FirmwareCheck CompareFirmware(const Bytes& expected, const Bytes& received) {
  const size_t common = std::min(expected.size(), received.size());
  const auto diff = std::mismatch(expected.begin(), expected.begin() + static_cast<ptrdiff_t>(common), received.begin());
  char b[200];
  if (diff.first != expected.begin() + static_cast<ptrdiff_t>(common)) {
    const size_t at = static_cast<size_t>(diff.first - expected.begin());
    std::snprintf(b, sizeof b,
                  "firmware differs at byte %zu (address 0x%08zX): expected %02X, received %02X; "
                  "expected %zu bytes, received %zu",
                  at, kFirmwareBase + at, *diff.first, *diff.second, expected.size(), received.size());
    return {false, b};
  }
  if (received.size() < expected.size()) {
    std::snprintf(b, sizeof b, "firmware is short: received %zu of the expected %zu bytes (those match)",
                  received.size(), expected.size());
    return {false, b};
  }
  const size_t extra = received.size() - expected.size();
  if (extra == 0) {
    std::snprintf(b, sizeof b, "firmware matches: %zu bytes", expected.size());
    return {true, b};
  }
  if (extra < 4 && received.size() % 4 == 0) {
    std::snprintf(b, sizeof b, "firmware matches: %zu bytes, plus %zu padding bytes of the last block",
                  expected.size(), extra);
    return {true, b};
  }
  std::snprintf(b, sizeof b, "firmware is long: received %zu bytes, expected %zu (the first %zu match)",
                received.size(), expected.size(), expected.size());
  return {false, b};
}

}  // namespace z500sim
