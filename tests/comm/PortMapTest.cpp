// The port map: overrides from QUARLCOMM_PORTS and the numbering of the
// system's devices, on a fake sysfs tree.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "PortMap.h"
#include "TCommSerialPortInfo.h"

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

// One reading of a port name for every place that reads one: a port list
// entry reads as atol would ("COM12abc" is 12); an override and a device name
// take "COM" and digits only.
TEST(PortNames, OneReadingForListEntriesOverridesAndDeviceNames) {
  struct Row {
    const char* name;
    int listed;  // TCommSerialPortInfo::PortNo
    int exact;   // ComNumberOf, an override's port
  };
  const Row rows[] = {
      {"COM3", 3, 3},       {"com3", 3, 3},       {"Com03", 3, 3},   {"COM12", 12, 12},   {"COM12abc", 12, 0},
      {"COM 5", 5, 0},      {"COM+7", 7, 0},      {"COM", 0, 0},     {"COM0", 0, 0},      {"COM-2", 0, 0},
      {"LPT1", 0, 0},       {"XCOM1", 0, 0},      {"CO", 0, 0},      {"COMx1", 0, 0},     {"/dev/ttyS0", 0, 0},
      {"COM1000000", 1000000, 1000000},           {"COM1000001", 0, 0},                   {"COM99999999999", 0, 0},
  };
  for (const Row& r : rows) {
    const std::string name = r.name;
    EXPECT_EQ(TCommSerialPortInfo::PortNo(name), r.listed) << name;
    EXPECT_EQ(ComNumberOf(name), r.exact) << name;
    EXPECT_EQ(ComNumberOf("\\\\.\\" + name), r.exact) << name;
    const std::vector<TPortEntry> ports = ParsePortOverrides(name + "=/dev/x");
    EXPECT_EQ(ports.empty() ? 0 : ports.front().Number, r.exact) << name;
  }
  EXPECT_EQ(TCommSerialPortInfo::PortNo("\\\\.\\COM3"), 0);  // a list entry has no device prefix
  EXPECT_EQ(TCommSerialPortInfo::PortName(0), "COM0");
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

  // A device node (a plain file will do) under the fake /dev; its path.
  std::string Node(const std::string& name) {
    fs::create_directories(root / "dev");
    std::ofstream(root / "dev" / name).close();
    return Dev(name);
  }
  std::string Dev(const std::string& name) const { return (root / "dev" / name).string(); }

  std::vector<TPortEntry> List(const std::string& overrides, bool* readable = nullptr) {
    TSystemPortMap map(root.string(), (root / "dev").string(), overrides.c_str());
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
  const std::vector<TPortEntry> want = {{1, Dev("ttyS0")}, {2, Dev("ttyACM0")}, {3, Dev("ttyUSB0")},
                                        {4, Dev("ttyS3")}, {5, Dev("ttyUSB2")},  {6, Dev("ttyUSB10")}};
  EXPECT_EQ(List(""), want);
}

TEST_F(FakeSysfs, AnOverrideShadowsTheUartOfItsNumberAndTakesItsSlot) {
  Add("ttyS0", true, 4);
  Add("ttyS1", true, 0);
  Add("ttyUSB0", true);
  Add("ttyACM0", true);
  const std::string sim = Node("sim");
  const std::vector<TPortEntry> want = {{1, sim}, {2, Dev("ttyACM0")}, {3, Dev("ttyUSB0")}};
  EXPECT_EQ(List("COM1=" + sim), want);
  // A device named by an override is not listed a second time.
  const std::vector<TPortEntry> moved = {{1, Dev("ttyS0")}, {2, Dev("ttyACM0")}, {7, Node("ttyUSB0")}};
  EXPECT_EQ(List("COM7=" + Dev("ttyUSB0")), moved);
  // A laptop with one USB adapter has it as COM1.
  fs::remove_all(root / "ttyS0");
  fs::remove_all(root / "ttyACM0");
  EXPECT_EQ(List(""), (std::vector<TPortEntry>{{1, Dev("ttyUSB0")}}));
}

TEST_F(FakeSysfs, UnreadableOnlyWithoutSysfsAndWithoutOverrides) {
  fs::remove_all(root);
  bool readable = true;
  EXPECT_TRUE(List("", &readable).empty());
  EXPECT_FALSE(readable);
  fs::create_directories(root);
  EXPECT_EQ(List("COM2=" + Node("x"), &readable), (std::vector<TPortEntry>{{2, Dev("x")}}));
  EXPECT_TRUE(readable);
}

// An override whose path is not there is no port to offer, but its number
// still leads to that path (opening then fails with "no such file") rather
// than to the UART that would have had the number.
TEST_F(FakeSysfs, AMissingOverrideIsNotListedButKeepsItsNumber) {
  Add("ttyS0", true, 4);
  Add("ttyUSB0", true);
  const std::string there = Node("there");
  const std::string overrides = "COM1=" + Dev("typo") + ",COM3=" + there + ",COM4=" + Dev("gone/ttyV0") +
                                ",COM5=" + there + "/below";
  const std::vector<TPortEntry> listed = {{2, Dev("ttyUSB0")}, {3, there}};
  EXPECT_EQ(List(overrides), listed);
  const TSystemPortMap map(root.string(), (root / "dev").string(), overrides.c_str());
  const std::pair<int, std::string> paths[] = {
      {1, Dev("typo")}, {2, Dev("ttyUSB0")}, {3, there}, {4, Dev("gone/ttyV0")}, {5, there + "/below"}, {6, ""}};
  for (const auto& [number, path] : paths) EXPECT_EQ(map.DevicePath(number), path) << "COM" << number;
  // Once the path appears (the simulator has started), the port is offered.
  Node("typo");
  EXPECT_EQ(List(overrides).front(), (TPortEntry{1, Dev("typo")}));
}

TEST_F(FakeSysfs, OverridesComeFromTheEnvironmentAndPathsResolve) {
  Add("ttyUSB0", true);
  ::setenv("QUARLCOMM_PORTS", "COM4=/tmp/v4", 1);
  TSystemPortMap map(root.string());  // devices under the real /dev
  EXPECT_EQ(map.DevicePath(4), "/tmp/v4");
  EXPECT_EQ(map.DevicePath(1), "/dev/ttyUSB0");
  EXPECT_EQ(map.DevicePath(2), "");
  ::unsetenv("QUARLCOMM_PORTS");
}
