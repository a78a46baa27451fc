// The port map: overrides from QUARLCOMM_PORTS and the numbering of the
// system's devices, on a fake sysfs tree.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "PortMap.h"

using namespace QuarlComm32;
namespace fs = std::filesystem;

TEST(PortOverrides, GoodEntriesAreKeptBadOnesAreIgnoredAndNamed) {
  std::vector<std::string> problems;
  const auto ports = ParsePortOverrides(
      " COM5=/tmp/ttyV0 ; com1=/dev/ttyUSB0,COM0=/dev/x,LPT1=/dev/lp0,COM2=,=/dev/y,COM3,"
      "COM1=/dev/other,COM7x=/dev/z,,COM12 = /dev/pts/3",
      &problems);
  const std::vector<TPortEntry> want = {{1, "/dev/ttyUSB0"}, {5, "/tmp/ttyV0"}, {12, "/dev/pts/3"}};
  EXPECT_EQ(ports, want);
  EXPECT_EQ(problems.size(), 7u);  // COM0, LPT1, COM2=, =/dev/y, COM3, second COM1, COM7x
  EXPECT_TRUE(ParsePortOverrides("").empty());
  EXPECT_TRUE(ParsePortOverrides(";;,=,COM").empty());
  // A problem is one line whatever the entry holds.
  problems.clear();
  ParsePortOverrides("CO\nM1=x", &problems);
  EXPECT_EQ(problems, std::vector<std::string>{"ignored \"CO\\x0aM1=x\": expected COMn=/path/to/device with n >= 1"});
}

// A device is opened by the name it was found under, leading zeros and all.
TEST(PortNumbering, DevicesKeepTheirOwnNames) {
  const std::vector<TPortEntry> want = {{1, "/dev/00"}, {2, "/dev/ttyUSB01"}, {3, "/dev/ttyUSB1"}};
  EXPECT_EQ(NumberPorts({}, {"ttyUSB1", "00", "ttyUSB01"}, "/dev"), want);
}

TEST(PortNames, ComNumberOfDeviceNames) {
  EXPECT_EQ(ComNumberOf("\\\\.\\COM1"), 1);
  EXPECT_EQ(ComNumberOf("\\\\.\\COM12"), 12);
  EXPECT_EQ(ComNumberOf("com3"), 3);
  EXPECT_EQ(ComNumberOf("\\\\.\\COM0"), 0);
  EXPECT_EQ(ComNumberOf("/dev/ttyS0"), 0);
  EXPECT_EQ(ComNumberOf("COM"), 0);
}

class FakeSysfs : public ::testing::Test {
protected:
  void SetUp() override {
    root = fs::temp_directory_path() / ("quarl-sysfs-" + std::to_string(::getpid()));
    fs::remove_all(root);
    fs::create_directories(root);
  }
  void TearDown() override { fs::remove_all(root); }

  // A tty entry; with a device link unless virtual; `type` for serial core ports.
  void Add(const std::string& name, bool device, int type = -1) {
    fs::create_directories(root / name);
    if (device) fs::create_directories(root / name / "device");
    if (type >= 0) std::ofstream(root / name / "type") << type << "\n";
  }

  std::vector<TPortEntry> List(const char* overrides, bool* readable = nullptr) {
    TSystemPortMap map(root.string(), "/dev", overrides);
    std::vector<TPortEntry> ports;
    const bool ok = map.List(ports);
    if (readable) *readable = ok;
    return ports;
  }

  fs::path root;
};

TEST_F(FakeSysfs, UartsKeepTheirNumberOthersFillTheGaps) {
  Add("ttyS0", true, 4);   // a 16550A
  Add("ttyS1", true, 0);   // no UART behind it
  Add("ttyS3", true, 4);
  Add("ttyUSB0", true);
  Add("ttyUSB10", true);
  Add("ttyUSB2", true);
  Add("ttyACM0", true);
  Add("tty1", false);      // a virtual console
  Add("ptmx", false);
  const std::vector<TPortEntry> want = {{1, "/dev/ttyS0"},   {2, "/dev/ttyACM0"}, {3, "/dev/ttyUSB0"},
                                        {4, "/dev/ttyS3"},   {5, "/dev/ttyUSB2"}, {6, "/dev/ttyUSB10"}};
  EXPECT_EQ(List(""), want);
}

TEST_F(FakeSysfs, AnOverrideShadowsTheUartOfItsNumberAndTakesItsSlot) {
  Add("ttyS0", true, 4);
  Add("ttyS1", true, 0);
  Add("ttyUSB0", true);
  Add("ttyACM0", true);
  const std::vector<TPortEntry> want = {{1, "/tmp/sim"}, {2, "/dev/ttyACM0"}, {3, "/dev/ttyUSB0"}};
  EXPECT_EQ(List("COM1=/tmp/sim"), want);
  // A device named by an override is not listed a second time.
  const std::vector<TPortEntry> moved = {{1, "/dev/ttyS0"}, {2, "/dev/ttyACM0"}, {7, "/dev/ttyUSB0"}};
  EXPECT_EQ(List("COM7=/dev/ttyUSB0"), moved);
  // A laptop with one USB adapter has it as COM1.
  fs::remove_all(root / "ttyS0");
  fs::remove_all(root / "ttyACM0");
  EXPECT_EQ(List(""), (std::vector<TPortEntry>{{1, "/dev/ttyUSB0"}}));
}

TEST_F(FakeSysfs, UnreadableOnlyWithoutSysfsAndWithoutOverrides) {
  fs::remove_all(root);
  bool readable = true;
  EXPECT_TRUE(List("", &readable).empty());
  EXPECT_FALSE(readable);
  EXPECT_EQ(List("COM2=/dev/x", &readable), (std::vector<TPortEntry>{{2, "/dev/x"}}));
  EXPECT_TRUE(readable);
}

TEST_F(FakeSysfs, OverridesComeFromTheEnvironmentAndPathsResolve) {
  Add("ttyUSB0", true);
  ::setenv("QUARLCOMM_PORTS", "COM4=/tmp/v4", 1);
  TSystemPortMap map(root.string());
  EXPECT_EQ(map.DevicePath(4), "/tmp/v4");
  EXPECT_EQ(map.DevicePath(1), "/dev/ttyUSB0");
  EXPECT_EQ(map.DevicePath(2), "");
  ::unsetenv("QUARLCOMM_PORTS");
}
