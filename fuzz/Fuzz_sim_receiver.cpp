// The simulated receiver fed random bytes at random times: every byte ends
// up in exactly one frame or skipped run (the 0x00 after an unlog text
// aside), each frame is what its head says, every answer is one well-formed
// frame of the kind the request asks for, and FrameEndWithin agrees with
// what Feed then does.
#include <cstring>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "Receiver.h"

using namespace z500sim;
using std::chrono::milliseconds;

namespace {

uint8_t Xor(const uint8_t* p, size_t n) {
  uint8_t x = 0;
  for (size_t i = 0; i < n; ++i) x ^= p[i];
  return x;
}

bool Starts(const Bytes& b, const char* head) {
  const size_t n = std::strlen(head);
  return b.size() >= n && std::memcmp(b.data(), head, n) == 0;
}

// A standard frame of class and command `head` ("FJ"), whole and checked.
bool Standard(const Bytes& b, const char* head, size_t* length = nullptr) {
  if (b.size() < 9 || b[0] != '$' || b[1] != '$' || b[2] != head[0] || b[3] != head[1]) return false;
  const size_t n = b[4] | b[5] << 8;
  if (length) *length = n;
  return b.size() == n + 9 && b[6 + n] == Xor(b.data(), 6 + n) && b[7 + n] == '\r' && b[8 + n] == '\n';
}

void CheckFrame(const Frame& f) {
  const Bytes& b = f.bytes;
  FUZZ_CHECK(!b.empty());
  const size_t length = b.size() >= 6 ? (b[4] | b[5] << 8) : 0;
  switch (f.kind) {
    case FrameKind::Garbage: return;
    case FrameKind::Unlog:
      FUZZ_CHECK(Starts(b, "unlogall com1\r\n") && (b.size() == 15 || (b.size() == 16 && b[15] == 0)));
      return;
    case FrameKind::SerialReset: FUZZ_CHECK(b == Bytes({'$', '$', 'S', 'R', 'S', 'T'})); return;
    case FrameKind::Handshake: FUZZ_CHECK(b.size() == 6 && Starts(b, "$$VS")); return;
    case FrameKind::Block: FUZZ_CHECK(Starts(b, "$$VX") && b.size() == 9u + b[4]); return;
    default: break;
  }
  // Standard frames: "$$", class, command, length, payload, check, CR LF.
  FUZZ_CHECK(b.size() == length + 9 && b[0] == '$' && b[1] == '$' && b[b.size() - 2] == '\r' && b.back() == '\n');
  FUZZ_CHECK(f.checkOk == (b[6 + length] == Xor(b.data(), 6 + length)));
  const char cls = static_cast<char>(b[2]), cmd = static_cast<char>(b[3]);
  const auto is = [&](char c, char m) { return cls == c && cmd == m; };
  switch (f.kind) {
    case FrameKind::ReadParameters: FUZZ_CHECK(is('F', 'J') && length == 0); break;
    case FrameKind::WriteParameters: FUZZ_CHECK(is('F', 'J') && length == 2); break;
    case FrameKind::Directory: FUZZ_CHECK(is('F', 'M')); break;
    case FrameKind::Delete: FUZZ_CHECK(is('F', 'D') && length > 0); break;
    case FrameKind::Format: FUZZ_CHECK(is('F', 'D') && length == 0); break;
    case FrameKind::Sound: FUZZ_CHECK(is('S', 'I')); break;
    case FrameKind::OtherStandard: FUZZ_CHECK((cls == 'F' || cls == 'S') && !is('S', 'R')); break;
    default: FUZZ_CHECK(false);
  }
}

// The two parameters as the receiver holds them, followed frame by frame.
struct TParams {
  uint8_t Interval, Cutoff;
};

void CheckAnswer(const Reaction& r, const Options& o, TParams& params) {
  if (r.frame.kind == FrameKind::WriteParameters) params = {r.frame.bytes[6], r.frame.bytes[7]};
  Bytes sent;
  for (const Output& out : r.outputs) sent.insert(sent.end(), out.bytes.begin(), out.bytes.end());
  if (sent.empty()) return;  // no answer, or one kept back by a fault
  // --garbage bytes come first, then exactly one answer.
  FUZZ_CHECK(sent.size() > o.garbage);
  const Bytes a(sent.begin() + o.garbage, sent.end());
  FUZZ_CHECK(!DescribeSent(a).empty());
  const size_t in = r.frame.bytes.size() >= 9 ? r.frame.bytes.size() - 9 : 0;
  size_t length = 0;
  switch (r.frame.kind) {
    case FrameKind::ReadParameters:
      FUZZ_CHECK(Standard(a, "FJ", &length) && length == 2 && a[6] == params.Interval && a[7] == params.Cutoff);
      break;
    case FrameKind::WriteParameters: FUZZ_CHECK(Standard(a, "FJ", &length) && length == 0); break;
    case FrameKind::Directory:
      FUZZ_CHECK(in == 3 && Standard(a, "FM", &length) && length % 32 == 0 && length <= 256);
      break;
    case FrameKind::Delete:
    case FrameKind::Format: FUZZ_CHECK(Standard(a, "FD", &length) && length == 0); break;
    case FrameKind::Sound: FUZZ_CHECK(Standard(a, "SI", &length) && length == 0); break;
    case FrameKind::SerialReset: FUZZ_CHECK(a == Bytes({'$', '$', 'S', 'R', 'S', 'T', '\r', '\n'})); break;
    case FrameKind::Handshake: FUZZ_CHECK(a == Bytes({'$', '$', 'V', 'S', 0x01, o.hardwareVersion})); break;
    case FrameKind::Block:
      FUZZ_CHECK(a.size() == 10 && Starts(a, "$$VX") && a[4] == 0x01);
      break;
    default: FUZZ_CHECK(false);  // nothing else is answered
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  Options o;
  o.files = in.ConsumeIntegralInRange<uint32_t>(0, 40);
  o.unlogged = in.ConsumeBool();
  o.splitAnswers = in.ConsumeBool();
  o.garbage = in.ConsumeIntegralInRange<uint32_t>(0, 3);
  if (in.ConsumeBool()) o.dropAnswers = {in.ConsumeIntegralInRange<uint32_t>(1, 4)};
  o.handshakeAfter = in.ConsumeIntegralInRange<uint32_t>(0, 1);
  if (in.ConsumeBool()) {
    o.blockResult = in.ConsumeIntegral<uint8_t>();
    o.blockResultAt = in.ConsumeIntegralInRange<uint32_t>(1, 3);
  }
  o.badAddressAt = in.ConsumeIntegralInRange<uint32_t>(0, 3);
  Receiver rx(o);
  TParams params{o.interval, o.cutoff};

  Bytes input;
  std::vector<Reaction> all;
  auto now = Clock::time_point{} + std::chrono::hours(1);
  while (in.remaining_bytes() > 0) {
    now += milliseconds(in.ConsumeIntegralInRange<int>(0, 700));
    const Bytes chunk = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(1, 64));
    // FrameEndWithin says where the first frame these bytes complete ends.
    const std::optional<size_t> end = rx.FrameEndWithin(chunk.data(), chunk.size(), now);
    const auto frames = [&](Receiver r, size_t n) {
      size_t k = 0;
      for (const Reaction& x : r.Feed(chunk.data(), n, now)) k += x.frame.kind != FrameKind::Garbage;
      return k;
    };
    if (end) {
      FUZZ_CHECK(*end >= 1 && *end <= chunk.size());
      // The unlog text is whole without the 0x00 after it, which it takes
      // along when that has arrived too.
      const bool unlogZero = *end >= 2 && chunk[*end - 1] == 0 && chunk[*end - 2] == '\n' &&
                             frames(rx, *end - 1) == 1;
      FUZZ_CHECK(frames(rx, *end - (unlogZero ? 2 : 1)) == 0 && frames(rx, *end) >= 1);
    } else {
      FUZZ_CHECK(frames(rx, chunk.size()) == 0);
    }
    input.insert(input.end(), chunk.begin(), chunk.end());
    for (Reaction& r : rx.Feed(chunk.data(), chunk.size(), now)) {
      CheckFrame(r.frame);
      CheckAnswer(r, o, params);
      FUZZ_CHECK(!DescribeReceived(r.frame).empty());
      all.push_back(std::move(r));
    }
  }
  // A partial frame left waiting is skipped once it is stale.
  for (Reaction& r : rx.Feed(nullptr, 0, now + std::chrono::seconds(1))) {
    FUZZ_CHECK(r.frame.kind == FrameKind::Garbage);
    all.push_back(std::move(r));
  }

  // Every byte is in one frame or skipped run, in order; only the 0x00 the
  // tool sends after a 15-byte unlog text goes without a trace.
  size_t pos = 0;
  bool afterShortUnlog = false;
  for (const Reaction& r : all) {
    if (afterShortUnlog && pos < input.size() && input[pos] == 0) ++pos;
    const Bytes& b = r.frame.bytes;
    FUZZ_CHECK(pos + b.size() <= input.size() && std::equal(b.begin(), b.end(), input.begin() + static_cast<ptrdiff_t>(pos)));
    pos += b.size();
    afterShortUnlog = r.frame.kind == FrameKind::Unlog && b.size() == 15;
  }
  if (afterShortUnlog && pos < input.size() && input[pos] == 0) ++pos;
  FUZZ_CHECK(pos == input.size());
  return 0;
}
