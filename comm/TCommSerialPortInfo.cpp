#include "TCommSerialPortInfo.h"

#include <algorithm>
#include <exception>
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
    ListComNames(PortList, Map);  // unreadable: no ports
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
  } catch (const std::exception& e) {
    ReportPortListError(e.what());  // what was appended stays
  } catch (...) {
    ReportPortListError(nullptr);
  }
}

int TCommSerialPortInfo::PortNo(const std::string& name) { return ReadComName(name).Number; }

std::string TCommSerialPortInfo::PortName(int portNo) { return ComName(portNo); }

int TCommSerialPortInfo::PortListSortCompare(const TStringList& list, int i1, int i2) {
  return PortNo(list[static_cast<size_t>(i1)]) - PortNo(list[static_cast<size_t>(i2)]);
}

}  // namespace QuarlComm32
