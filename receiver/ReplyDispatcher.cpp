#include "ReplyDispatcher.h"

#include <algorithm>

#include "ReceiverFrames.h"

namespace Z500 {

namespace {

constexpr uint8_t Dollar = 0x24;

bool HasClass(std::span<const uint8_t> p, uint8_t frameClass) {
  return p.size() >= 4 && p[0] == Dollar && p[1] == Dollar && p[2] == frameClass;
}

// Class V: the answers to the handshake and to each block.
void DispatchUpgrade(std::span<const uint8_t> p, const TReplyRoutes& routes) {
  if (!HasClass(p, fcUpgrade)) return;
  switch (p[3]) {
    case 'S':
      if (p.size() >= 6 && p[4] == 0x01 && routes.HandshakeAnswer) routes.HandshakeAnswer(p[5]);
      break;
    case 'X':
      // An error result needs no address, so the answer counts from its
      // result byte on; the address is handed over only when it arrived.
      if (p.size() >= 6 && p[4] == 0x01 && routes.BlockAnswer) {
        std::optional<uint32_t> address;
        if (p.size() >= 10) address = (uint32_t{p[6]} << 24) | (uint32_t{p[7]} << 16) | (uint32_t{p[8]} << 8) | p[9];
        routes.BlockAnswer(p[5], address);
      }
      break;
    default:
      break;
  }
}

// Class F: deletion, parameters and directory pages.
void DispatchStatic(std::span<const uint8_t> p, const TReplyRoutes& routes) {
  if (!HasClass(p, fcStatic)) return;
  if (p[3] == 'D') {
    if (routes.DeleteFinished) routes.DeleteFinished();
    return;
  }
  if (p[3] != 'J' && p[3] != 'M') return;
  if (p.size() < 6) return;
  const uint16_t length = static_cast<uint16_t>(p[4] | (p[5] << 8));
  if (p[3] == 'J') {
    if (length == 0) {
      if (routes.ParametersSet) routes.ParametersSet();
    } else if (length == 2 && p.size() >= 8) {
      if (routes.Parameters) routes.Parameters(p[6], p[7]);
    }
    return;
  }
  // A page may have been cut by the read buffer: hand over what arrived.
  const auto arrived = p.subspan(6);
  if (routes.DirectoryPage) routes.DirectoryPage(length, arrived.first(std::min<size_t>(length, arrived.size())));
}

}  // namespace

void DispatchReply(std::span<const uint8_t> package, bool upgrading, const TReplyRoutes& routes) {
  if (package.empty()) return;
  if (upgrading)
    DispatchUpgrade(package, routes);
  else
    DispatchStatic(package, routes);
}

}  // namespace Z500
