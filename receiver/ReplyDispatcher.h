// The reply dispatcher: recognises one received package by its first bytes
// and hands it to the feature that owns it. The frame class selects the
// branch: while an upgrade runs only class V replies count, otherwise only
// class F. Nothing beyond the bytes received is read: a package too short for
// a test does not match it, and a payload is handed over only as far as it
// arrived. Check bytes, CR LF and the agreement of the length field with the
// package size are not verified; whatever matches nothing is dropped.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>

namespace Z500 {

// Packages are read into a buffer of this size; a longer one is cut.
inline constexpr long ReplyBufferSize = 300;

// Where each reply goes. A route left empty drops its replies.
struct TReplyRoutes {
  // Upgrading: "$$VS" with marker 0x01; the receiver's hardware version.
  std::function<void(uint8_t hardwareVersion)> HandshakeAnswer;
  // Upgrading: "$$VX" with marker 0x01, from 6 bytes on: the result code (0
  // accepted) and the address of the block written (big-endian in the
  // reply), empty when the package ended before its four bytes.
  std::function<void(uint8_t result, std::optional<uint32_t> address)> BlockAnswer;
  // "$$FD": the deletion has finished.
  std::function<void()> DeleteFinished;
  // "$$FJ" with length 0: the parameters were set.
  std::function<void()> ParametersSet;
  // "$$FJ" with length 2: the sampling interval and the cut-off angle.
  std::function<void(uint8_t interval, uint8_t cutoff)> Parameters;
  // "$$FM": a directory page. `length` is the length field; `payload` is what
  // arrived of the payload, at most `length` bytes.
  std::function<void(uint16_t length, std::span<const uint8_t> payload)> DirectoryPage;
};

// Routes one package of `package.size()` bytes.
void DispatchReply(std::span<const uint8_t> package, bool upgrading, const TReplyRoutes& routes);

}  // namespace Z500
