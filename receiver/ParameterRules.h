// The rules of the two static-recording parameters, shared by the window's
// edit boxes and anything else that takes them as text: the sampling
// interval (seconds, at most 60) and the cut-off angle (degrees, at most 89).
#pragma once

#include <cstdint>
#include <string_view>

namespace Z500 {

struct TParameterRule {
  int Limit;               // the largest value accepted
  uint8_t Default;         // used for an empty text, and after a refusal
  std::string_view DefaultText;
};
inline constexpr TParameterRule IntervalRule{60, 5, "5"};
inline constexpr TParameterRule CutoffRule{89, 12, "12"};

enum class TParameterCheck {
  Accepted,   // empty, or one or two digits within the limit
  TooLarge,   // longer than two code-page bytes, or above the limit
  NotDigits,  // a character other than 0 to 9
};

// The length of UTF-8 `text` in the form's double-byte code page: one byte
// for an ASCII character, two for any other.
size_t CodePageLength(std::string_view text);

// Checks UTF-8 `text` in the order the edit boxes do: length first (so a
// third character is "too large" whatever it is), then the characters, then
// the value.
TParameterCheck CheckParameterText(std::string_view text, const TParameterRule& rule);

// The byte sent for an accepted text: the rule's default when it is empty,
// otherwise its value without surrounding blanks, cut to its low byte.
uint8_t ParameterValue(std::string_view text, const TParameterRule& rule);

}  // namespace Z500
