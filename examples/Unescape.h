// Turns the escapes of a text given on the command line into the bytes
// they name, for the examples that send one.
#pragma once

#include <cstdlib>
#include <string>

// "\r", "\n", "\t", "\\" and "\xHH" in the text become the bytes they name.
inline std::string Unescape(const char* s) {
  std::string out;
  for (; *s; ++s) {
    if (*s != '\\' || !s[1]) {
      out += *s;
      continue;
    }
    switch (*++s) {
      case 'r': out += '\r'; break;
      case 'n': out += '\n'; break;
      case 't': out += '\t'; break;
      case 'x':
        if (s[1] && s[2]) {
          out += static_cast<char>(std::strtol(std::string(s + 1, 2).c_str(), nullptr, 16));
          s += 2;
        }
        break;
      default: out += *s; break;
    }
  }
  return out;
}
