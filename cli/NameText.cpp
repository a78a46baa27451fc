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

std::optional<TNameArgument> DeleteArgument(std::string_view text) {
  const std::optional<std::string> bytes = UnescapeBytes(text);
  if (!bytes || bytes->empty()) return std::nullopt;
  std::string name = *bytes;
  std::optional<std::string> extension;
  // Exactly as printed, the name may hold dots and blanks.
  const size_t dot = name.size() == 12 && name[8] == '.' ? 8 : name.rfind('.');
  if (dot != std::string::npos) {
    extension = name.substr(dot + 1);
    name.resize(dot);
  }
  if (name.empty() || name.size() > 8 || (extension && extension->size() > 3)) return std::nullopt;
  TNameArgument out;
  out.Name.fill(' ');
  std::copy(name.begin(), name.end(), out.Name.begin());
  if (extension) {
    out.Extension.emplace();
    out.Extension->fill(' ');
    std::copy(extension->begin(), extension->end(), out.Extension->begin());
  }
  return out;
}

std::optional<Z500::TFileName> NameArgument(std::string_view text) {
  const std::optional<TNameArgument> argument = DeleteArgument(text);
  if (!argument) return std::nullopt;
  return argument->Name;
}

std::string ArgumentText(const TNameArgument& argument) {
  return EscapeBytes(argument.Name) + (argument.Extension ? "." + EscapeBytes(*argument.Extension) : "");
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
