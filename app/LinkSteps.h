// Steps on the link that the window and z500ctl take alike: quieting the
// receiver after the port opens, and how long the two raw reply waits last.
#pragma once

#include <cstdint>
#include <functional>

#include "Clock.h"
#include "ReceiverFrames.h"

namespace Z500 {

// The raw reply waits' limits: the serial reset and the format.
inline constexpr uint32_t SerialResetWaitMs = 15000;
inline constexpr uint32_t FormatWaitMs = 60000;

// Stops the receiver's periodic output after the port has opened: 100 ms,
// the unlog command, 100 ms, the unlog command again to be sure it is heard,
// then 500 ms for the output already under way to end.
void QuietReceiver(const std::function<void(const TFrame&)>& send, IClock& clock);

}  // namespace Z500
