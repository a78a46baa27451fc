// The firmware file as the upgrade sends it, without Qt: the hardware version
// its name carries, the block frames cut from it, and what a block answer
// says. The window's upgrade uses these, and so can a program without one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "ReceiverFrames.h"

namespace Z500 {

// The receiver address of the first block.
inline constexpr uint32_t FirmwareLoadAddress = 0x40008000;
// The most data bytes one block frame carries.
inline constexpr size_t FirmwareBlockSize = 128;
// A block still unanswered this long after it was sent ends the upgrade.
inline constexpr uint32_t BlockAnswerTimeoutMs = 5000;

// The hardware version a firmware file's path names: the three characters
// just before the first ".rxf" (case-sensitive) read as a decimal integer,
// its low byte; 0 when they are not an integer or fewer than three
// characters come before ".rxf". Empty when the path has no ".rxf".
std::optional<uint8_t> HardwareVersionFromPath(std::string_view utf8Path);

// A block's byte count on the line: raised to a multiple of 4.
constexpr size_t PaddedBlockLength(size_t n) { return (n + 3) / 4 * 4; }

// The block frame of `data` (1 to FirmwareBlockSize bytes) at `address`,
// padded with zero bytes to PaddedBlockLength. Empty for any other size.
TFrame FirmwareBlockFrame(uint32_t address, std::span<const uint8_t> data);

// What a block answer means for the upgrade.
enum class TBlockVerdict { bvAccepted, bvWrongAddress, bvError1, bvError2, bvError };

// Judges a block answer: its result, the address it names (empty when the
// answer ended before it) and the address of the block sent last. The
// address counts only when the result is 0.
TBlockVerdict JudgeBlockAnswer(uint8_t result, std::optional<uint32_t> address, uint32_t expected);

}  // namespace Z500
