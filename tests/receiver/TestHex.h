// "24 24 46 4A" -> {0x24, 0x24, 0x46, 0x4A}
#pragma once

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

inline Bytes H(const std::string& hex) {
  Bytes b;
  std::istringstream in(hex);
  for (unsigned v; in >> std::hex >> v;) b.push_back(static_cast<uint8_t>(v));
  return b;
}
