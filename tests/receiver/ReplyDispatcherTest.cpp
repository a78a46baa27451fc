// Which route each reply reaches and with what; short, cut and unrouted packages.
#include <gtest/gtest.h>

#include "ReplyDispatcher.h"
#include "TestHex.h"

using namespace Z500;

namespace {

// Dispatches `hex` to routes that log each call, e.g. "Parameters 5 12";
// the route named `without` (as its log line begins) is left empty.
std::string Dispatch(const Bytes& package, bool upgrading, const std::string& without = {}) {
  std::ostringstream log;
  TReplyRoutes r;
  r.HandshakeAnswer = [&](uint8_t v) { log << "Handshake " << +v; };
  r.BlockAnswer = [&](uint8_t result, std::optional<uint32_t> a) {
    log << "Block " << +result << ' ';
    if (a) log << std::hex << *a;
    else log << '-';
  };
  r.DeleteFinished = [&] { log << "DeleteFinished"; };
  r.ParametersSet = [&] { log << "ParametersSet"; };
  r.Parameters = [&](uint8_t i, uint8_t c) { log << "Parameters " << +i << ' ' << +c; };
  r.DirectoryPage = [&](uint16_t length, std::span<const uint8_t> p) {
    log << "Page " << length << ':' << std::hex;
    for (uint8_t b : p) log << ' ' << +b;
  };
  if (without == "Handshake") r.HandshakeAnswer = nullptr;
  if (without == "Block") r.BlockAnswer = nullptr;
  if (without == "DeleteFinished") r.DeleteFinished = nullptr;
  if (without == "ParametersSet") r.ParametersSet = nullptr;
  if (without == "Parameters") r.Parameters = nullptr;
  if (without == "Page") r.DirectoryPage = nullptr;
  DispatchReply(package, upgrading, r);
  return log.str();
}

const struct {
  const char* Package;
  bool Upgrading;
  const char* Fired;
} Cases[] = {
    {"24 24 56 53 01 07", true, "Handshake 7"},
    {"24 24 56 58 01 05 12 34 56 78 EE", true, "Block 5 12345678"},
    // The result counts from 6 bytes on, the address only when all of it came.
    {"24 24 56 58 01 07", true, "Block 7 -"},
    {"24 24 56 58 01 00 40 00 80", true, "Block 0 -"},
    {"24 24 56 53 02 07", true, ""},
    {"24 24 56 58 00 00 00 01 20 00", true, ""},
    {"24 24 56 51 01 07", true, ""},
    {"24 24 46 4D 03 00 AA BB CC 00 0D 0A", true, ""},
    {"24 24 56 53 01 07", false, ""},
    {"24 24 46 44 00 00 02 0D 0A", false, "DeleteFinished"},
    {"24 24 46 4A 00 00 0C 0D 0A", false, "ParametersSet"},
    {"24 24 46 4A 02 00 05 0C 99 0D 0A", false, "Parameters 5 12"},  // wrong check byte
    {"24 24 46 4A 01 00 05 0C 07 0D 0A", false, ""},
    {"24 24 46 4A 00 01 05 0C 07 0D 0A", false, ""},  // length 256
    {"24 24 46 4D 03 00 AA BB CC 00 0D 0A", false, "Page 3: aa bb cc"},
    {"24 24 46 4D 00 01 AA BB", false, "Page 256: aa bb"},
    {"24 24 46 5A 00 00 1E 0D 0A", false, ""},
    {"24 24 53 52 00 00 00 0D 0A", false, ""},
    {"23 24 46 44 00 00 02 0D 0A", false, ""},
};

}  // namespace

TEST(ReplyDispatcher, EachReplyReachesItsRouteWithItsFields) {
  for (const auto& c : Cases) EXPECT_EQ(Dispatch(H(c.Package), c.Upgrading), c.Fired) << c.Package;
}

TEST(ReplyDispatcher, PackagesShorterThanTheirTestFireNothing) {
  for (const auto& [hex, upgrading] : {std::pair{"24 24 56 53 01 07", true}, {"24 24 56 58 01 02", true},
                                       {"24 24 46 44", false}, {"24 24 46 4A 00 00", false},
                                       {"24 24 46 4A 02 00 05 0C", false}, {"24 24 46 4D 03 00", false}}) {
    const Bytes full = H(hex);
    EXPECT_NE(Dispatch(full, upgrading), "") << hex;
    // Each prefix in a buffer of its own size, so a read past it shows under ASan.
    for (size_t n = 0; n < full.size(); ++n)
      EXPECT_EQ(Dispatch(Bytes(full.begin(), full.begin() + n), upgrading), "") << hex << " cut to " << n;
  }
}

TEST(ReplyDispatcher, CutDirectoryPageHandsWhatArrived) {
  Bytes package = H("24 24 46 4D 90 01");  // length 400, but the buffer held 300 bytes
  for (int i = 0; i < 294; ++i) package.push_back(static_cast<uint8_t>(i));
  Bytes handed;
  TReplyRoutes routes;
  routes.DirectoryPage = [&](uint16_t length, std::span<const uint8_t> p) {
    EXPECT_EQ(length, 400);
    handed.assign(p.begin(), p.end());
  };
  DispatchReply(package, false, routes);
  EXPECT_EQ(handed, Bytes(package.begin() + 6, package.end()));
}

// A reply whose route is empty is dropped: it reaches no other route, and
// the empty one is not called (that would throw).
TEST(ReplyDispatcher, EmptyRoutesDropTheirReplies) {
  for (const auto& c : Cases) {
    const std::string fired = c.Fired;
    if (fired.empty()) continue;
    std::string log = "not dispatched";
    EXPECT_NO_THROW(log = Dispatch(H(c.Package), c.Upgrading, fired.substr(0, fired.find(' ')))) << c.Package;
    EXPECT_EQ(log, "") << c.Package;
  }
}
