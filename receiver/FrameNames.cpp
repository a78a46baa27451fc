#include "FrameNames.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <optional>
#include <vector>

#include "DirectoryEntries.h"
#include "ReceiverFrames.h"
#include "ReplyDispatcher.h"

namespace Z500 {

namespace {

bool Same(std::span<const uint8_t> bytes, const TFrame& frame) {
  return !frame.empty() && std::equal(bytes.begin(), bytes.end(), frame.begin(), frame.end());
}

bool Begins(std::span<const uint8_t> bytes, const TReplyHead& head) {
  return bytes.size() >= head.size() && std::equal(head.begin(), head.end(), bytes.begin());
}

template <class... A>
std::string Format(const char* format, A... args) {
  char text[96];
  std::snprintf(text, sizeof text, format, args...);
  return text;
}

std::string Garbage(size_t n) { return Format("garbage (%zu bytes)", n); }

bool DollarDollar(std::span<const uint8_t> bytes) {
  return bytes.size() >= 2 && bytes[0] == 0x24 && bytes[1] == 0x24;
}

// The frames without arguments, each named once.
std::optional<std::string> FixedFrameName(std::span<const uint8_t> frame) {
  const struct {
    TFrame Frame;
    const char* Name;
  } fixed[] = {
      {ReadParametersRequest(), "read parameters request"},
      {FormatRequest(), "format request"},
      {SoundCommand(), "sound command"},
      {SerialResetCommand(), "serial reset"},
      {UpgradeHandshake(), "upgrade handshake"},
      {UnlogCommand(), "unlog command"},
  };
  for (const auto& f : fixed)
    if (Same(frame, f.Frame)) return f.Name;
  return std::nullopt;
}

// A standard frame with arguments: the arguments are read where the frame
// would hold them, and the frame counts as one only when the builder, given
// them, makes the same bytes.
std::optional<std::string> StandardFrameName(std::span<const uint8_t> frame) {
  if (frame.size() < 9) return std::nullopt;
  const auto payload = frame.subspan(6, frame.size() - 9);
  if (payload.size() == 2 && Same(frame, WriteParametersRequest(payload[0], payload[1])))
    return Format("set parameters request (interval %u s, cut-off %u deg)", payload[0], payload[1]);
  if (payload.size() == 3) {
    const auto index = static_cast<uint16_t>(payload[1] | (payload[2] << 8));
    if (Same(frame, DirectoryRequest(index))) return Format("directory request for entry %u", index);
  }
  if (!payload.empty() && payload.size() % 8 == 0) {
    std::vector<std::array<uint8_t, 8>> names(payload.size() / 8);
    for (size_t i = 0; i < names.size(); ++i) std::copy_n(payload.begin() + i * 8, 8, names[i].begin());
    if (Same(frame, DeleteRequest(names)))
      return names.size() == 1 ? "delete request for 1 file" : Format("delete request for %zu files", names.size());
  }
  return std::nullopt;
}

std::optional<std::string> BlockFrameName(std::span<const uint8_t> frame) {
  if (frame.size() < 9) return std::nullopt;
  const uint32_t address = (uint32_t{frame[5]} << 24) | (uint32_t{frame[6]} << 16) | (uint32_t{frame[7]} << 8) | frame[8];
  if (!Same(frame, BlockFrame(address, frame.subspan(9)))) return std::nullopt;
  return Format("firmware block at 0x%08X (%zu bytes)", address, frame.size() - 9);
}

std::optional<std::string> KnownSentName(std::span<const uint8_t> frame) {
  if (auto name = FixedFrameName(frame)) return name;
  if (auto name = StandardFrameName(frame)) return name;
  return BlockFrameName(frame);
}

// What the reply dispatcher makes of a package, in either mode.
std::optional<std::string> DispatchedName(std::span<const uint8_t> package) {
  std::optional<std::string> name;
  TReplyRoutes routes;
  routes.HandshakeAnswer = [&](uint8_t version) { name = Format("handshake answer (hardware version %u)", version); };
  routes.BlockAnswer = [&](uint8_t result, std::optional<uint32_t> address) {
    name = address ? Format("block answer (result %u, address 0x%08X)", result, *address)
                   : Format("block answer (result %u)", result);
  };
  routes.DeleteFinished = [&] { name = "delete or format done"; };
  routes.ParametersSet = [&] { name = "parameters set"; };
  routes.Parameters = [&](uint8_t interval, uint8_t cutoff) {
    name = Format("parameters reply (interval %u s, cut-off %u deg)", interval, cutoff);
  };
  routes.DirectoryPage = [&](uint16_t length, std::span<const uint8_t> payload) {
    name = payload.size() < length ? Format("directory page (%zu of %u bytes)", payload.size(), length)
                                   : Format("directory page (%zu entries)", length / DirectoryEntrySize);
  };
  DispatchReply(package, false, routes);
  if (!name) DispatchReply(package, true, routes);
  return name;
}

}  // namespace

std::string SentFrameName(std::span<const uint8_t> frame) {
  if (auto name = KnownSentName(frame)) return *name;
  return DollarDollar(frame) ? "unknown" : Garbage(frame.size());
}

std::string ReceivedPackageName(std::span<const uint8_t> package) {
  if (auto name = DispatchedName(package)) return *name;
  if (Begins(package, SerialResetHead)) return "serial reset answer";
  if (Same(package, StandardFrame(fcSettings, 'I', {}))) return "sound answer";
  if (auto name = KnownSentName(package)) return *name + " (echo)";
  return DollarDollar(package) ? "unknown" : Garbage(package.size());
}

}  // namespace Z500
