// Steps on the link that the window and z500ctl take alike: quieting the
// receiver after the port opens, and how long the two raw reply waits last.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>

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

// True when `received` holds the unlog command byte for byte, as the line
// gives back what it is sent (a loopback plug, an RS-485 adapter that hears
// itself): a receiver takes the command and never sends it.
bool EchoesUnlog(std::span<const uint8_t> received);

// What to do about a port that would not open, for the system reasons that
// have a remedy of the user's: no permission for the device (the dialout
// group) and a port another program holds, then named by its process id and
// name where the serial layer found them (holderPid 0: not found). Window:
// lines in Simplified Chinese (UTF-8, joined by "\r\n"); Console: a clause
// in English. Both empty for any other reason.
struct TOpenAdvice {
  std::string Window;
  std::string Console;
};
TOpenAdvice OpenFailureAdvice(int osError, int holderPid = 0, const std::string& holderName = {});

}  // namespace Z500
