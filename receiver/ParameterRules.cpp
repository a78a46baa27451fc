#include "ParameterRules.h"

namespace Z500 {

size_t CodePageLength(std::string_view text) {
  size_t length = 0;
  for (unsigned char c : text) {
    if (c < 0x80) length += 1;
    else if ((c & 0xC0) != 0x80) length += 2;  // the lead byte of a non-ASCII character
  }
  return length;
}

TParameterCheck CheckParameterText(std::string_view text, const TParameterRule& rule) {
  if (text.empty()) return TParameterCheck::Accepted;
  if (CodePageLength(text) > 2) return TParameterCheck::TooLarge;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return TParameterCheck::NotDigits;
    value = value * 10 + (c - '0');
  }
  return value > rule.Limit ? TParameterCheck::TooLarge : TParameterCheck::Accepted;
}

uint8_t ParameterValue(std::string_view text, const TParameterRule& rule) {
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  if (text.empty()) return rule.Default;
  unsigned value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return rule.Default;
    value = value * 10 + static_cast<unsigned>(c - '0');
    value &= 0xFFFF;  // only the low byte is kept; stay bounded on long input
  }
  return static_cast<uint8_t>(value);
}

}  // namespace Z500
