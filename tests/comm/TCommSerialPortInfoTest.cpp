// Port enumeration over a fixed port map: the numeric order with duplicates
// kept, and the fallback to COM1 to COM4. How names read is tested with the
// port map.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>

#include "PortMap.h"
#include "TCommSerialPortInfo.h"

using namespace QuarlComm32;
using List = TCommSerialPortInfo::TStringList;

TEST(PortInfo, PortsAreListedByNumberNotByTextAndDuplicatesStay) {
  TCommSerialPortInfo info(std::make_shared<TFixedPortMap>(
      std::vector<TPortEntry>{{10, "/dev/ttyUSB1"}, {3, "/tmp/ttyV0"}, {1, "/dev/ttyS0"}}));
  EXPECT_EQ(info.PortList, (List{"COM1", "COM3", "COM10"}));
  // ListFromSystem appends and sorts: a port named twice stays twice; Refresh starts afresh.
  info.PortList = {"COM3", "COM12"};
  info.ListFromSystem();
  EXPECT_EQ(info.PortList, (List{"COM1", "COM3", "COM3", "COM10", "COM12"}));
  info.Refresh();
  EXPECT_EQ(info.PortList, (List{"COM1", "COM3", "COM10"}));
}

TEST(PortInfo, NoPortsOrNoListGiveComOneToFour) {
  for (bool readable : {true, false}) {
    TCommSerialPortInfo info(std::make_shared<TFixedPortMap>(std::vector<TPortEntry>{}, readable));
    EXPECT_EQ(info.PortList, (List{"COM1", "COM2", "COM3", "COM4"})) << "readable " << readable;
  }
}

// A map that fails while listing: the error is counted (and said once), not
// lost, and the list falls back as for no ports.
TEST(PortInfo, AnErrorWhileListingIsReportedAndFallsBack) {
  struct TFailingMap : IPortMap {
    bool List(std::vector<TPortEntry>&) const override { throw std::runtime_error("no list today"); }
  };
  const unsigned long before = PortListErrors();
  TCommSerialPortInfo info(std::make_shared<TFailingMap>());
  EXPECT_EQ(info.PortList, (List{"COM1", "COM2", "COM3", "COM4"}));
  EXPECT_EQ(PortListErrors(), before + 1);
}

// The machine's map: a QUARLCOMM_PORTS entry whose path is not there is not
// offered; the one that is stays.
TEST(PortInfo, AnOverrideWithoutItsDeviceIsNotOffered) {
  char dir[] = "/tmp/quarl-portinfo-XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  const std::string device = std::string(dir) + "/ttyV0";
  std::FILE* f = std::fopen(device.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fclose(f);
  const std::string overrides = "COM2=" + device + ",COM3=" + std::string(dir) + "/ttyV1";
  // No sysfs tree: only the overrides count.
  TCommSerialPortInfo info(std::make_shared<TSystemPortMap>(std::string(dir) + "/no-sysfs", "/dev", overrides.c_str()));
  EXPECT_EQ(info.PortList, (List{"COM2"}));
  std::remove(device.c_str());
  ::rmdir(dir);
}
