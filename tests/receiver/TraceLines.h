// Reading a line trace back in tests: one record per line,
// "<ms> [<port>] <'>'|'<'> <hex bytes> <name>".
#pragma once

#include <cctype>
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
  std::string Name;
};

inline bool IsHexByte(const std::string& t) {
  return t.size() == 2 && std::isxdigit(static_cast<unsigned char>(t[0])) &&
         std::isxdigit(static_cast<unsigned char>(t[1])) && !std::islower(static_cast<unsigned char>(t[0])) &&
         !std::islower(static_cast<unsigned char>(t[1]));
}

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
  while (in >> t && IsHexByte(t)) r.Data.push_back(static_cast<uint8_t>(std::stoi(t, nullptr, 16)));
  std::string rest;
  std::getline(in, rest);
  r.Name = t + rest;
  return r;
}

inline std::vector<TraceLine> ReadTrace(const std::string& path) {
  std::vector<TraceLine> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(ParseTraceLine(line));
  return lines;
}
