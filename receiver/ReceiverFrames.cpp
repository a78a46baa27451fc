#include "ReceiverFrames.h"

namespace Z500 {

namespace {

constexpr uint8_t Dollar = 0x24;

TFrame Head(uint8_t frameClass, uint8_t command) { return {Dollar, Dollar, frameClass, command}; }

}  // namespace

uint8_t CheckByte(std::span<const uint8_t> bytes) {
  uint8_t check = 0x00;
  for (uint8_t b : bytes) check ^= b;
  return check;
}

TFrame StandardFrame(uint8_t frameClass, uint8_t command, std::span<const uint8_t> payload) {
  if (payload.size() > 0xFFFF) return {};
  TFrame frame = Head(frameClass, command);
  frame.reserve(payload.size() + 9);
  frame.push_back(static_cast<uint8_t>(payload.size() & 0xFF));
  frame.push_back(static_cast<uint8_t>(payload.size() >> 8));
  frame.insert(frame.end(), payload.begin(), payload.end());
  frame.push_back(CheckByte(frame));
  frame.push_back(0x0D);
  frame.push_back(0x0A);
  return frame;
}

TFrame ReadParametersRequest() { return StandardFrame(fcStatic, 'J', {}); }

TFrame WriteParametersRequest(uint8_t interval, uint8_t cutoff) {
  const uint8_t payload[] = {interval, cutoff};
  return StandardFrame(fcStatic, 'J', payload);
}

TFrame DirectoryRequest(uint16_t index) {
  const uint8_t payload[] = {0x08, static_cast<uint8_t>(index & 0xFF), static_cast<uint8_t>(index >> 8)};
  return StandardFrame(fcStatic, 'M', payload);
}

TFrame DeleteRequest(std::span<const std::array<uint8_t, 8>> names) {
  // 8191 names are the most whose 8 bytes each fit the 16-bit length.
  if (names.empty() || names.size() > 0xFFFF / 8) return {};
  std::vector<uint8_t> payload;
  payload.reserve(names.size() * 8);
  for (const auto& name : names) payload.insert(payload.end(), name.begin(), name.end());
  return StandardFrame(fcStatic, 'D', payload);
}

TFrame FormatRequest() { return StandardFrame(fcStatic, 'D', {}); }

TFrame SoundCommand() {
  const uint8_t payload[] = {0xFF, 0xFF, 0x01, 0xFF};
  return StandardFrame(fcSettings, 'I', payload);
}

TFrame SerialResetCommand() { return {Dollar, Dollar, fcSettings, 'R', 'S', 'T'}; }

TFrame UpgradeHandshake() {
  TFrame frame = Head(fcUpgrade, 'S');
  frame.push_back(0x01);
  frame.push_back(0x00);
  return frame;
}

TFrame BlockFrame(uint32_t address, std::span<const uint8_t> data) {
  if (data.size() > 0xFF) return {};
  TFrame frame = Head(fcUpgrade, 'X');
  frame.reserve(data.size() + 9);
  frame.push_back(static_cast<uint8_t>(data.size()));
  frame.push_back(static_cast<uint8_t>(address >> 24));
  frame.push_back(static_cast<uint8_t>(address >> 16));
  frame.push_back(static_cast<uint8_t>(address >> 8));
  frame.push_back(static_cast<uint8_t>(address));
  frame.insert(frame.end(), data.begin(), data.end());
  return frame;
}

TFrame UnlogCommand() {
  static constexpr char text[] = "unlogall com1\r\n";
  // sizeof takes in the terminating 0x00, which the receiver expects.
  return TFrame(text, text + sizeof(text));
}

}  // namespace Z500
