#include "FirmwareBlocks.h"

#include <algorithm>
#include <array>

namespace Z500 {

std::optional<uint8_t> HardwareVersionFromPath(std::string_view path) {
  const size_t at = path.find(".rxf");
  if (at == std::string_view::npos) return std::nullopt;
  // Digits and signs are single bytes in UTF-8: three bytes that read as an
  // integer are three characters, and anything else reads as 0.
  if (at < 3) return uint8_t{0};
  const std::string_view digits = path.substr(at - 3, 3);
  size_t i = digits[0] == '+' || digits[0] == '-' ? 1 : 0;
  int value = 0;
  for (size_t k = i; k < digits.size(); ++k) {
    if (digits[k] < '0' || digits[k] > '9') return uint8_t{0};
    value = value * 10 + (digits[k] - '0');
  }
  if (digits[0] == '-') value = -value;
  return static_cast<uint8_t>(value & 0xFF);
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
  const long n = read(block.data(), block.size());
  if (n > 0) {
    const auto count = std::min(static_cast<size_t>(n), block.size());
    TNext next{TStep::Block, FirmwareBlockFrame(LoadAddress, std::span<const uint8_t>(block).first(count))};
    BlockLength = static_cast<int32_t>(PaddedBlockLength(count));
    LoadAddress += static_cast<uint32_t>(BlockLength);
    BytesSent += BlockLength;
    BytesRead += static_cast<int32_t>(count);
    return next;
  }
  // A failed read, or a file that ends before the size it had at the start,
  // would leave the receiver with part of the firmware: not a success.
  if (n < 0 || BytesRead < FirmwareSize) return {TStep::ReadFailed, {}};
  return {TStep::Done, {}};
}

TBlockVerdict TBlockSequencer::Judge(uint8_t result, std::optional<uint32_t> address) const {
  return JudgeBlockAnswer(result, address, LoadAddress - static_cast<uint32_t>(BlockLength));
}

}  // namespace Z500
