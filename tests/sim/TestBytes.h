// Byte helpers shared by the simulator's tests.
#pragma once

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

namespace simtest {

using Bytes = std::vector<uint8_t>;

// "24 24 46 4A" -> {0x24, 0x24, 0x46, 0x4A}
inline Bytes H(const std::string& hex) {
  Bytes b;
  std::istringstream in(hex);
  unsigned v;
  while (in >> std::hex >> v) b.push_back(static_cast<uint8_t>(v));
  return b;
}

inline Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The check byte written out independently of the simulator: XOR from 0x00.
inline uint8_t Xor(const Bytes& b) {
  uint8_t x = 0;
  for (uint8_t c : b) x ^= c;
  return x;
}

// A standard frame as the tool builds it: head, length, payload, check, CR LF.
inline Bytes StdFrame(char cls, char cmd, const Bytes& payload = {}) {
  Bytes f = {0x24, 0x24, static_cast<uint8_t>(cls), static_cast<uint8_t>(cmd),
             static_cast<uint8_t>(payload.size() & 0xFF), static_cast<uint8_t>(payload.size() >> 8)};
  f = Cat(f, payload);
  f.push_back(Xor(f));
  f.push_back(0x0D);
  f.push_back(0x0A);
  return f;
}

inline Bytes Handshake() { return {0x24, 0x24, 0x56, 0x53, 0x01, 0x00}; }

inline Bytes Block(uint32_t address, const Bytes& data) {
  Bytes f = {0x24, 0x24, 0x56, 0x58, static_cast<uint8_t>(data.size()), static_cast<uint8_t>(address >> 24),
             static_cast<uint8_t>(address >> 16), static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address)};
  return Cat(f, data);
}

inline Bytes BlockAnswer(uint8_t result, uint32_t address) {
  return {0x24, 0x24, 0x56, 0x58, 0x01, result, static_cast<uint8_t>(address >> 24),
          static_cast<uint8_t>(address >> 16), static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address)};
}

inline Bytes Image(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 7 + 1);
  return b;
}

}  // namespace simtest
