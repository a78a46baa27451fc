#include "FirmwareBlocks.h"

#include <algorithm>
#include <array>

namespace Z500 {

std::optional<int> HardwareVersionFromPath(std::string_view path) {
  const size_t slash = path.rfind('/');
  const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  const size_t at = name.find(".rxf");
  if (at == std::string_view::npos) return std::nullopt;
  // Digits and signs are single bytes in UTF-8: three bytes that read as an
  // integer are three characters, and anything else reads as 0.
  if (at < 3) return 0;
  const std::string_view digits = name.substr(at - 3, 3);
  const size_t first = digits[0] == '+' || digits[0] == '-' ? 1 : 0;
  int value = 0;
  for (size_t k = first; k < digits.size(); ++k) {
    if (digits[k] < '0' || digits[k] > '9') return 0;
    value = value * 10 + (digits[k] - '0');
  }
  return digits[0] == '-' ? -value : value;
}

TFrame FirmwareBlockFrame(uint32_t address, std::span<const uint8_t> data) {
  if (data.empty() || data.size() > FirmwareBlockSize) return {};
  std::array<uint8_t, FirmwareBlockSize> block{};
  std::copy(data.begin(), data.end(), block.begin());
  return BlockFrame(address, std::span<const uint8_t>(block).first(PaddedBlockLength(data.size())));
}

TBlockVerdict JudgeBlockAnswer(uint8_t result, std::optional<uint32_t> address, uint32_t expected) {
  switch (result) {
    case 0:
      // An answer that ended before its address does not say where the
      // block went: it cannot confirm the write.
      return address && *address == expected ? TBlockVerdict::bvAccepted : TBlockVerdict::bvWrongAddress;
    case 1:
      return TBlockVerdict::bvError1;
    case 2:
      return TBlockVerdict::bvError2;
    default:
      return TBlockVerdict::bvError;
  }
}

void TBlockSequencer::Start(int32_t firmwareSize) {
  FirmwareSize = firmwareSize;
  LoadAddress = FirmwareLoadAddress;
  BytesSent = 0;
  BytesRead = 0;
  BlockLength = 0;
}

TBlockSequencer::TNext TBlockSequencer::Next(const TReader& read) {
  std::array<uint8_t, FirmwareBlockSize> block{};
  const size_t left = BytesRead < FirmwareSize ? static_cast<size_t>(FirmwareSize - BytesRead) : 0;
  if (left == 0) {
    // Everything is sent: the file must end here.
    const long n = read(block.data(), 1);
    if (n < 0) return {TStep::ReadFailed, {}};
    return {n > 0 ? TStep::Grew : TStep::Done, {}};
  }
  const size_t want = std::min(left, block.size());
  const long n = read(block.data(), want);
  // A failed read, or a file that ends before the size it had at the start,
  // would leave the receiver with part of the firmware: not a success. A
  // short block is not sent, so nothing stands where file bytes belong.
  if (n < 0 || static_cast<size_t>(n) != want) return {TStep::ReadFailed, {}};
  TNext next{TStep::Block, FirmwareBlockFrame(LoadAddress, std::span<const uint8_t>(block).first(want))};
  BlockLength = static_cast<int32_t>(PaddedBlockLength(want));
  LoadAddress += static_cast<uint32_t>(BlockLength);
  BytesSent += BlockLength;
  BytesRead += static_cast<int32_t>(want);
  return next;
}

TBlockVerdict TBlockSequencer::Judge(uint8_t result, std::optional<uint32_t> address) const {
  return JudgeBlockAnswer(result, address, LoadAddress - static_cast<uint32_t>(BlockLength));
}

}  // namespace Z500
