// The firmware file as the upgrade sends it, without Qt: the hardware version
// its name carries, the block frames cut from it, and what a block answer
// says. The window's upgrade uses these, and so can a program without one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string_view>

#include "ReceiverFrames.h"

namespace Z500 {

// The receiver address of the first block.
inline constexpr uint32_t FirmwareLoadAddress = 0x40008000;
// The most data bytes one block frame carries.
inline constexpr size_t FirmwareBlockSize = 128;
// The largest file the upgrade's 32-bit counts carry, padding included.
inline constexpr int64_t MaxFirmwareSize = 0x7FFFFFFF - 3;
// A block still unanswered this long after it was sent ends the upgrade.
inline constexpr uint32_t BlockAnswerTimeoutMs = 5000;

// The hardware version a firmware file is named for, as a number: the three
// characters just before the first ".rxf" (case-sensitive) in the file's own
// name (after the last '/'), read as a decimal integer with an optional
// sign; 0 when they are not an integer or fewer than three characters come
// before ".rxf". Empty when the name has no ".rxf". The folders on the way
// do not count. A number outside 0 to 255 (IsHardwareVersion) is no
// receiver's version: such a file fits no receiver.
std::optional<int> HardwareVersionFromPath(std::string_view utf8Path);
constexpr bool IsHardwareVersion(int number) { return number >= 0 && number <= 0xFF; }

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

// The block sequence of one upgrade: where the next block goes, what has been
// sent, and the verdict on the answer to the block sent last. The window and
// z500ctl both send exactly the frames it cuts, one per answer.
class TBlockSequencer {
public:
  // Reads `len` bytes of the firmware into `buf`: the count read, fewer only
  // at the end of the file (0 there), less than 0 when reading failed.
  using TReader = std::function<long(uint8_t* buf, size_t len)>;

  enum class TStep {
    Block,       // Frame holds the next block frame
    Done,        // the file ended after all FirmwareSize bytes were sent
    ReadFailed,  // a read failed, or the file ended before FirmwareSize bytes
    Grew,        // the file holds more than FirmwareSize bytes now
  };
  struct TNext {
    TStep Step;
    TFrame Frame;
  };

  // Starts over for a file of `firmwareSize` bytes.
  void Start(int32_t firmwareSize);
  // Reads the next block with `read` and frames it at LoadAddress; a short
  // last block is padded to a multiple of 4 with zero bytes. The file is
  // taken at the size it had at the start: no block goes out of a read that
  // came short of it (the file shrank), and once all of it is sent a further
  // read must find the end (the file did not grow), or the receiver would
  // hold a firmware that is no file's.
  TNext Next(const TReader& read);
  // The answer to the block sent last.
  TBlockVerdict Judge(uint8_t result, std::optional<uint32_t> address) const;

  int32_t FirmwareSize = 0;  // the file's size at the start
  uint32_t LoadAddress = 0;  // the receiver address of the next block
  int32_t BytesSent = 0;     // padding included
  int32_t BytesRead = 0;     // of the file, without padding
  int32_t BlockLength = 0;   // the block sent last, padding included
};

}  // namespace Z500
