// What the port listing tells of each port: the device, its by-id name, the
// USB adapter and driver from a fake sysfs tree, and whether it can be opened
// now (free, busy with its holder named, no permission with the group).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <sys/wait.h>

#include <fstream>

#include "FakePortTree.h"
#include "PtyPair.h"
#include "SerialDriver.h"

using namespace QuarlComm32;

namespace {

std::string OwnCommandName() {
  std::ifstream comm("/proc/self/comm");
  std::string name;
  std::getline(comm, name);
  return name;
}

TEST(PortFacts, FactsFromSysfsByIdAndTheDeviceItself) {
  FakePortTree tree;
  tree.Laptop();
  // An adapter whose strings hold a control character, a quote and a byte
  // that is no UTF-8: one clean line each.
  const std::string odd = "pci0000:00/0000:00:14.0/usb1/1-4";
  tree.Usb(odd, "067b", "2303", "Acme\x01 \"Q\"", "Cable \xff\xfe", "  S/N 7 ");
  tree.Tty("ttyUSB1", odd + "/1-4:1.0/ttyUSB1", "pl2303");
  const PtyPair pty;
  ASSERT_FALSE(pty.Path.empty());
  const TFixedPortMap map({{1, tree.Dev("ttyS0")},
                           {2, tree.Dev("ttyACM0")},
                           {3, tree.Dev("ttyUSB0")},
                           {4, tree.Dev("ttyUSB1")},
                           {5, pty.Path},
                           {7, tree.Dev("gone")}});
  std::vector<TPortInfo> ports;
  ASSERT_TRUE(DescribePorts(map, ports, tree.Roots()));
  ASSERT_EQ(ports.size(), 6u);

  struct Row {
    const char* port;
    std::string byId, vendor, product, manufacturer, productName, serial, driver;
    TPortAccess access;
    std::string tip;
  };
  const std::string byId = tree.Dev("serial/by-id/usb-FTDI_FT232R_USB_UART_A10K3ZQ1-if00-port0");
  const Row rows[] = {
      {"COM1", "", "", "", "", "", "", "serial", TPortAccess::Yes, tree.Dev("ttyS0")},
      {"COM2", "", "1546", "01a8", "", "u-blox GNSS receiver", "", "cdc_acm", TPortAccess::Yes,
       tree.Dev("ttyACM0") + "\nu-blox GNSS receiver"},
      {"COM3", byId, "0403", "6001", "FTDI", "FT232R USB UART", "A10K3ZQ1", "ftdi_sio", TPortAccess::Yes,
       tree.Dev("ttyUSB0") + "\nFT232R USB UART, serial A10K3ZQ1"},
      {"COM4", "", "067b", "2303", "Acme? \"Q\"", "Cable ??", "S/N 7", "pl2303", TPortAccess::Yes,
       tree.Dev("ttyUSB1") + "\nCable ??, serial S/N 7"},
      {"COM5", "", "", "", "", "", "", "", TPortAccess::Yes, pty.Path},
      {"COM7", "", "", "", "", "", "", "", TPortAccess::Missing, tree.Dev("gone")},
  };
  for (size_t i = 0; i < std::size(rows); ++i) {
    const Row& r = rows[i];
    const TPortInfo& p = ports[i];
    SCOPED_TRACE(r.port);
    EXPECT_EQ(p.Port, r.port);
    EXPECT_EQ(p.ById, r.byId);
    EXPECT_EQ(p.VendorId, r.vendor);
    EXPECT_EQ(p.ProductId, r.product);
    EXPECT_EQ(p.Manufacturer, r.manufacturer);
    EXPECT_EQ(p.Product, r.productName);
    EXPECT_EQ(p.Serial, r.serial);
    EXPECT_EQ(p.Driver, r.driver);
    EXPECT_EQ(p.Access, r.access);
    EXPECT_EQ(p.HolderPid, 0) << "this process's own descriptor of the pty is no holder";
    EXPECT_EQ(PortToolTip(p), r.tip);
  }
  EXPECT_EQ(ports[5].ErrorCode, ENOENT);
  // An adapter with ids and no strings is named by its ids.
  TPortInfo bare = ports[1];
  bare.Product.clear();
  EXPECT_EQ(PortToolTip(bare), tree.Dev("ttyACM0") + "\nUSB 1546:01a8");
  // Without access, nothing of /proc is read.
  EXPECT_EQ(DescribePort({7, tree.Dev("gone")}, tree.Roots(), false).Access, TPortAccess::Unknown);
  EXPECT_FALSE(DescribePorts(TFixedPortMap({}, false), ports, tree.Roots()));
}

// The engine's lock on a port makes it busy, and its holder is named from
// /proc/locks without the device being opened; once let go it is free.
TEST(PortFacts, APortTheEngineHoldsIsBusyWithItsHolderNamed) {
  const PtyPair pty;
  ASSERT_FALSE(pty.Path.empty());
  TSerialDriver driver;
  ASSERT_EQ(driver.Open(pty.Path), 0);
  TPortInfo held = DescribePort({5, pty.Path});
  EXPECT_EQ(held.Access, TPortAccess::Busy);
  EXPECT_EQ(held.HolderPid, static_cast<int>(::getpid()));
  EXPECT_EQ(held.Holder, OwnCommandName());
  driver.Close();
  held = DescribePort({5, pty.Path});
  EXPECT_EQ(held.Access, TPortAccess::Yes);
  EXPECT_EQ(held.HolderPid, 0);

  // The holder as another program sees it, from a /proc of its own.
  FakePortTree tree;
  const std::string node = tree.Node("ttyUSB0");
  tree.Lock(node, 4711, "z500ctl");
  held = DescribePort({1, node}, tree.Roots());
  EXPECT_EQ(held.Access, TPortAccess::Busy);
  EXPECT_EQ(held.HolderPid, 4711);
  EXPECT_EQ(held.Holder, "z500ctl");
}

// Runs DescribePort on `path` as an ordinary user (dropping root's rights in
// a child process, as root may open anything) and gives whether it found no
// permission and `group` as the group to join ("": none may open it).
bool NoPermissionWithGroup(const std::string& path, const std::string& group) {
  if (::geteuid() != 0) {
    const TPortInfo info = DescribePort({1, path});
    return info.Access == TPortAccess::NoPermission && info.Group == group;
  }
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
    const TPortInfo info = DescribePort({1, path});
    ::_exit(info.Access == TPortAccess::NoPermission && info.Group == group ? 0 : 1);
  }
  int status = 0;
  return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// No permission names the group to join, where the device lets its group open it.
TEST(PortFacts, NoPermissionNamesTheGroupToJoin) {
  FakePortTree tree;
  const std::string node = tree.Node("ttyUSB0");
  for (const auto& folder : {tree.Root, tree.Root / "dev"}) ::chmod(folder.c_str(), 0755);
  struct stat st {};
  ASSERT_EQ(::stat(node.c_str(), &st), 0);
  const group* g = ::getgrgid(st.st_gid);
  const std::string name = g ? g->gr_name : std::to_string(st.st_gid);
  // The owner's bits keep its owner out; as root, the test runs as nobody.
  const bool root = ::geteuid() == 0;
  const std::pair<mode_t, std::string> modes[] = {{root ? 0660 : 0060, name}, {root ? 0600 : 0, ""}};
  for (const auto& [mode, group] : modes) {
    ASSERT_EQ(::chmod(node.c_str(), mode), 0);
    EXPECT_TRUE(NoPermissionWithGroup(node, group)) << std::oct << mode << " " << group;
  }

  // What stat and access said, and a lock, decide; a missing path is missing,
  // permission comes before a lock (opening fails on it first).
  struct Row {
    int statErrno, accessErrno;
    bool locked;
    TPortAccess want;
  };
  const Row rows[] = {{ENOENT, 0, false, TPortAccess::Missing},   {ENOTDIR, 0, false, TPortAccess::Missing},
                      {EIO, 0, false, TPortAccess::Error},        {EACCES, 0, false, TPortAccess::Error},
                      {0, EACCES, true, TPortAccess::NoPermission}, {0, EPERM, false, TPortAccess::NoPermission},
                      {0, EROFS, false, TPortAccess::Error},      {0, 0, true, TPortAccess::Busy},
                      {0, 0, false, TPortAccess::Yes}};
  for (const Row& r : rows)
    EXPECT_EQ(DecideAccess(r.statErrno, r.accessErrno, r.locked), r.want) << r.statErrno << " " << r.accessErrno;
}

}  // namespace
