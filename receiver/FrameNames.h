// Names of the frames on the line, for the line trace and for people reading
// it: what the tool sends, by the frame builders (ReceiverFrames.h), and what
// the receiver answers, by the reply dispatcher (ReplyDispatcher.h), so that
// the names follow the protocol core's own definitions.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace Z500 {

// A frame the tool sends: "read parameters request", "directory request for
// entry 3", "delete request for 2 files", "firmware block at 0x00000080 (128 bytes)" and so on; "unknown"
// for a "$$" frame the tool does not build, "garbage (N bytes)" otherwise.
std::string SentFrameName(std::span<const uint8_t> frame);

// A package received: "parameters reply (interval 5 s, cut-off 12 deg)",
// "parameters set", "directory page (...)", "block answer (...)" and so on;
// a copy of a request is named as the request with "(echo)" after it;
// "unknown" for another "$$" frame, "garbage (N bytes)" for the rest.
std::string ReceivedPackageName(std::span<const uint8_t> package);

}  // namespace Z500
