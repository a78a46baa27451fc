// Reading a line trace back in tests: one record per line,
// "<ms> [<port>] <'>'|'<'> <hex bytes> <name>".
#pragma once

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "receiver/TestHex.h"

struct TraceLine {
  unsigned long long Ms = 0;
  std::string Port;
  char Direction = '?';
  Bytes Data;
  std::string Name;  // from the first token that is no byte in upper-case hex
};

inline TraceLine ParseTraceLine(const std::string& line) {
  TraceLine r;
  std::istringstream in(line);
  std::string t;
  in >> r.Ms >> t;
  if (t != ">" && t != "<") {
    r.Port = t;
    in >> t;
  }
  r.Direction = t.empty() ? '?' : t[0];
  while (in >> t && t.size() == 2 && t.find_first_not_of("0123456789ABCDEF") == std::string::npos)
    r.Data.push_back(static_cast<uint8_t>(std::stoi(t, nullptr, 16)));
  std::getline(in, r.Name);
  r.Name = t + r.Name;
  return r;
}

inline std::vector<TraceLine> ReadTrace(const std::string& path) {
  std::vector<TraceLine> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(ParseTraceLine(line));
  return lines;
}
