// Port enumeration over a fixed port map: the names PortNo accepts, the
// numeric order with duplicates kept, and the fallback to COM1 to COM4.
#include <gtest/gtest.h>

#include <memory>

#include "PortMap.h"
#include "TCommSerialPortInfo.h"

using namespace QuarlComm32;
using List = TCommSerialPortInfo::TStringList;

TEST(PortInfo, PortNoReadsTheNumberAfterComAsAtolDoes) {
  const std::pair<const char*, int> cases[] = {
      {"COM3", 3},   {"com3", 3},      {"Com03", 3},    {"COM12abc", 12}, {"COM", 0},
      {"COM0", 0},   {"COM-2", 0},     {"LPT1", 0},     {"XCOM1", 0},     {"CO", 0},
      {"", 0},       {"COM 5", 5},     {"COM+7", 7},    {"COMx1", 0},     {"COM99999999999", 0},
  };
  for (const auto& [name, number] : cases) EXPECT_EQ(TCommSerialPortInfo::PortNo(name), number) << name;
  EXPECT_EQ(TCommSerialPortInfo::PortName(0), "COM0");
  EXPECT_EQ(TCommSerialPortInfo::PortName(12), "COM12");
}

TEST(PortInfo, PortsAreListedByNumberNotByTextAndDuplicatesStay) {
  const List list = {"COM10", "COM3", "COM1"};
  EXPECT_LT(TCommSerialPortInfo::PortListSortCompare(list, 2, 1), 0);
  EXPECT_GT(TCommSerialPortInfo::PortListSortCompare(list, 0, 1), 0);

  auto map = std::make_shared<TFixedPortMap>(
      std::vector<TPortEntry>{{10, "/dev/ttyUSB1"}, {3, "/tmp/ttyV0"}, {1, "/dev/ttyS0"}});
  TCommSerialPortInfo info(map);
  EXPECT_EQ(info.PortList, (List{"COM1", "COM3", "COM10"}));

  // ListFromSystem appends and sorts what is there: a port named twice stays twice.
  info.PortList = {"COM3", "COM12"};
  info.ListFromSystem();
  EXPECT_EQ(info.PortList, (List{"COM1", "COM3", "COM3", "COM10", "COM12"}));
  info.Refresh();
  EXPECT_EQ(info.PortList, (List{"COM1", "COM3", "COM10"}));
}

TEST(PortInfo, NoPortsOrNoListGiveComOneToFour) {
  const List fallback = {"COM1", "COM2", "COM3", "COM4"};
  for (bool readable : {true, false}) {
    TCommSerialPortInfo info(std::make_shared<TFixedPortMap>(std::vector<TPortEntry>{}, readable));
    EXPECT_EQ(info.PortList, fallback) << readable;
  }
}
