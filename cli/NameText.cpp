#include "NameText.h"

#include <algorithm>

namespace Z500Ctl {

namespace {

constexpr char Digits[] = "0123456789abcdef";

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string EscapeBytes(std::span<const uint8_t> bytes) {
  std::string text;
  for (uint8_t b : bytes) {
    if (b == '\\') {
      text += "\\\\";
    } else if (b >= 0x20 && b < 0x7F) {
      text += static_cast<char>(b);
    } else {
      text += "\\x";
      text += Digits[b >> 4];
      text += Digits[b & 0x0F];
    }
  }
  return text;
}

std::optional<std::string> UnescapeBytes(std::string_view text) {
  std::string bytes;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c != '\\') {
      if (c < 0x20 || c >= 0x7F) return std::nullopt;
      bytes += c;
    } else if (i + 1 < text.size() && text[i + 1] == '\\') {
      bytes += '\\';
      ++i;
    } else if (i + 3 < text.size() && text[i + 1] == 'x' && HexValue(text[i + 2]) >= 0 &&
               HexValue(text[i + 3]) >= 0) {
      bytes += static_cast<char>(HexValue(text[i + 2]) * 16 + HexValue(text[i + 3]));
      i += 3;
    } else {
      return std::nullopt;
    }
  }
  return bytes;
}

std::string PrintedName(const Z500::TDirectoryEntry& entry) {
  const std::string bytes = Z500::FileNameBytes(entry);
  return EscapeBytes(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
}

std::optional<Z500::TFileName> NameArgument(std::string_view text) {
  const std::optional<std::string> bytes = UnescapeBytes(text);
  if (!bytes || bytes->empty()) return std::nullopt;
  std::string name = *bytes;
  if (name.size() == 12 && name[8] == '.') {
    name.resize(8);  // exactly as printed: the name may hold dots and blanks
  } else if (const size_t dot = name.rfind('.'); dot != std::string::npos) {
    name.resize(dot);
  }
  if (name.empty() || name.size() > 8) return std::nullopt;
  Z500::TFileName out;
  out.fill(' ');
  std::copy(name.begin(), name.end(), out.begin());
  return out;
}

std::string Hex(std::span<const uint8_t> bytes) {
  std::string text;
  for (uint8_t b : bytes) {
    text += Digits[b >> 4];
    text += Digits[b & 0x0F];
  }
  return text;
}

}  // namespace Z500Ctl
