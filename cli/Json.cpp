#include "Json.h"

#include <cstdio>

namespace Z500Ctl {

std::string JsonString(std::string_view text) {
  std::string json = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') {
      json += '\\';
      json += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", static_cast<unsigned>(c));
      json += esc;
    } else {
      json += c;
    }
  }
  return json + "\"";
}

}  // namespace Z500Ctl
