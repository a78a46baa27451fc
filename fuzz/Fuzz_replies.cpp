// The reply dispatcher and the raw reply head matcher. A package goes to at
// most one route, only to the route its head names, and a route never gets
// bytes from outside the package; the head matcher finds the same thing
// however the stream is cut into pieces.
#include <algorithm>
#include <cstring>
#include <vector>

#include "FrameNames.h"
#include "FuzzCheck.h"
#include "RawReplyWait.h"
#include "ReplyDispatcher.h"

using namespace Z500;

namespace {

void CheckDispatch(const std::vector<uint8_t>& package, bool upgrading) {
  // Exactly as large as the package: reading beyond it trips ASan.
  const std::span<const uint8_t> p(package);
  const uint8_t* begin = package.data();
  const uint8_t* end = begin + package.size();
  const auto head = [&](const char* h) { return p.size() >= 4 && std::memcmp(begin, h, 4) == 0; };
  const uint16_t length = p.size() >= 6 ? static_cast<uint16_t>(p[4] | p[5] << 8) : 0;
  int calls = 0;

  TReplyRoutes routes;
  routes.HandshakeAnswer = [&](uint8_t version) {
    ++calls;
    FUZZ_CHECK(upgrading && head("$$VS") && p.size() >= 6 && p[4] == 0x01 && version == p[5]);
  };
  routes.BlockAnswer = [&](uint8_t result, std::optional<uint32_t> address) {
    ++calls;
    FUZZ_CHECK(upgrading && head("$$VX") && p.size() >= 6 && p[4] == 0x01 && result == p[5]);
    FUZZ_CHECK(address.has_value() == (p.size() >= 10));
    if (address) FUZZ_CHECK(*address == (uint32_t{p[6]} << 24 | uint32_t{p[7]} << 16 | uint32_t{p[8]} << 8 | p[9]));
  };
  routes.DeleteFinished = [&] {
    ++calls;
    FUZZ_CHECK(!upgrading && head("$$FD"));
  };
  routes.ParametersSet = [&] {
    ++calls;
    FUZZ_CHECK(!upgrading && head("$$FJ") && p.size() >= 6 && length == 0);
  };
  routes.Parameters = [&](uint8_t interval, uint8_t cutoff) {
    ++calls;
    FUZZ_CHECK(!upgrading && head("$$FJ") && length == 2 && p.size() >= 8);
    FUZZ_CHECK(interval == p[6] && cutoff == p[7]);
  };
  routes.DirectoryPage = [&](uint16_t len, std::span<const uint8_t> payload) {
    ++calls;
    FUZZ_CHECK(!upgrading && head("$$FM") && p.size() >= 6 && len == length);
    // Inside the package, from byte 6 on, and no more than the length says.
    FUZZ_CHECK(payload.empty() || (payload.data() == begin + 6 && payload.data() + payload.size() <= end));
    FUZZ_CHECK(payload.size() == std::min<size_t>(length, p.size() - 6));
  };
  DispatchReply(p, upgrading, routes);
  FUZZ_CHECK(calls <= 1);

  // Every reply that should reach a route does.
  bool due = false;
  if (upgrading)
    due = (head("$$VS") || head("$$VX")) && p.size() >= 6 && p[4] == 0x01;
  else
    due = head("$$FD") || (head("$$FM") && p.size() >= 6) ||
          (head("$$FJ") && p.size() >= 6 && (length == 0 || (length == 2 && p.size() >= 8)));
  FUZZ_CHECK(calls == (due ? 1 : 0));
}

bool Contains(const std::vector<uint8_t>& s, const TReplyHead& h, size_t& at) {
  const auto it = std::search(s.begin(), s.end(), h.begin(), h.end());
  at = static_cast<size_t>(it - s.begin());
  return it != s.end();
}

void CheckHead(const TReplyHead& head, const std::vector<uint8_t>& stream, FuzzedDataProvider& cuts) {
  THeadMatcher whole(head);
  const bool found = whole.Feed(stream);
  FUZZ_CHECK(found == whole.Found());

  // The same stream in pieces, each copied to a buffer of its own size.
  THeadMatcher pieces(head);
  size_t pos = 0;
  while (pos < stream.size()) {
    const size_t n = std::min(stream.size() - pos, cuts.ConsumeIntegralInRange<size_t>(0, 8));
    const std::vector<uint8_t> piece(stream.begin() + pos, stream.begin() + pos + n);
    pieces.Feed(piece);
    pos += n;
    if (cuts.remaining_bytes() == 0) break;
  }
  if (pos < stream.size()) pieces.Feed(std::span(stream).subspan(pos));
  FUZZ_CHECK(pieces.Found() == found);

  size_t at = 0;
  const bool present = Contains(stream, head, at);
  if (found) FUZZ_CHECK(present);
  // A head that starts the stream, or follows a byte that is in no head
  // position, cannot have been broken into by a partial match.
  for (size_t i = 0; i + head.size() <= stream.size(); ++i) {
    if (!std::equal(head.begin(), head.end(), stream.begin() + i)) continue;
    if (i == 0 || std::find(head.begin(), head.end(), stream[i - 1]) == head.end()) FUZZ_CHECK(found);
  }
}

// A name goes into the trace's line as it is: no control byte may break it.
void CheckName(const std::string& name) {
  FUZZ_CHECK(!name.empty());
  for (const char c : name) FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const uint8_t mode = in.ConsumeIntegral<uint8_t>();
  if (mode & 0x80) {
    const TReplyHead head = (mode & 1) ? FormatHead : SerialResetHead;
    const auto stream = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 600));
    CheckHead(head, stream, in);
    return 0;
  }
  // What ReadPackage hands the window: at most the reply buffer's size.
  const auto rest = in.ConsumeRemainingBytes<uint8_t>();
  const size_t n = std::min(rest.size(), static_cast<size_t>(ReplyBufferSize));
  const std::vector<uint8_t> package(rest.begin(), rest.begin() + static_cast<ptrdiff_t>(n));
  CheckDispatch(package, (mode & 1) != 0);
  CheckName(ReceivedPackageName(package));
  CheckName(SentFrameName(package));
  return 0;
}
