#include "TCommSerialPortInfo.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <numeric>

#include "PortMap.h"

namespace QuarlComm32 {

TCommSerialPortInfo::TCommSerialPortInfo(std::shared_ptr<const IPortMap> map) : Map(std::move(map)) { Refresh(); }

void TCommSerialPortInfo::Refresh() {
  PortList.clear();
  ListFromSystem();
  if (PortList.empty())
    for (int n = 1; n <= 4; ++n) PortList.push_back(PortName(n));
}

void TCommSerialPortInfo::ListFromSystem() {
  try {
    const auto map = Map ? Map : DefaultPortMap();
    std::vector<TPortEntry> ports;
    map->List(ports);  // unreadable: no ports
    for (const TPortEntry& p : ports)
      if (p.Number > 0) PortList.push_back(PortName(p.Number));
    // Sorted through the comparison on indexes, as a string list's custom
    // sort would; entries of equal number keep no particular order.
    std::vector<int> order(PortList.size());
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(),
              [&](int a, int b) { return PortListSortCompare(PortList, a, b) < 0; });
    TStringList sorted;
    sorted.reserve(order.size());
    for (int i : order) sorted.push_back(std::move(PortList[static_cast<size_t>(i)]));
    PortList = std::move(sorted);
  } catch (...) {
    // Ends quietly; what was appended stays.
  }
}

// Read as the C library's atol reads a number (blanks, a sign, digits up to
// the first non-digit), but a number too large for an int denotes no port
// instead of overflowing.
int TCommSerialPortInfo::PortNo(const std::string& name) {
  if (name.size() < 3) return 0;
  for (size_t i = 0; i < 3; ++i)
    if (std::toupper(static_cast<unsigned char>(name[i])) != Str_PortPrefix[i]) return 0;
  size_t i = 3;
  while (i < name.size() && std::isspace(static_cast<unsigned char>(name[i]))) ++i;
  bool negative = false;
  if (i < name.size() && (name[i] == '+' || name[i] == '-')) negative = name[i++] == '-';
  long long value = 0;
  for (; i < name.size() && std::isdigit(static_cast<unsigned char>(name[i])); ++i) {
    value = value * 10 + (name[i] - '0');
    if (value > INT_MAX) return 0;
  }
  return negative || value <= 0 ? 0 : static_cast<int>(value);
}

std::string TCommSerialPortInfo::PortName(int portNo) {
  char text[24];
  std::snprintf(text, sizeof text, Fmt_PortName, portNo);
  return text;
}

int TCommSerialPortInfo::PortListSortCompare(const TStringList& list, int i1, int i2) {
  return PortNo(list[static_cast<size_t>(i1)]) - PortNo(list[static_cast<size_t>(i2)]);
}

}  // namespace QuarlComm32
