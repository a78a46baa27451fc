// What the port listing tells of each port, without opening it: the by-id
// name, USB adapter and driver from a fake sysfs tree, and whether it can be
// opened now (free, busy with its holder named, no permission with a group).
#include <gtest/gtest.h>

#include <grp.h>
#include <sys/wait.h>

#include <tuple>

#include "FakePortTree.h"
#include "PtyPair.h"
#include "SerialDriver.h"

using namespace QuarlComm32;

namespace {

TEST(PortFacts, FactsFromSysfsByIdAndTheDeviceItself) {
  FakePortTree tree;
  tree.Laptop();
  // Strings with a control character, a quote and bytes that are no UTF-8.
  tree.Usb("pci0000:00/usb1/1-4", {"067b", "2303", "Acme\x01 \"Q\"", "Cable \xff\xfe", " S/N 7 "});
  tree.Tty("ttyUSB1", "pci0000:00/usb1/1-4/1-4:1.0/ttyUSB1", "pl2303");
  const PtyPair pty;  // an override: no USB parent; this process's own descriptor is no holder
  std::vector<TPortInfo> ports;
  ASSERT_TRUE(DescribePorts(TFixedPortMap({{1, tree.Dev("ttyS0")}, {2, tree.Dev("ttyACM0")}, {3, tree.Dev("ttyUSB0")},
                                           {4, tree.Dev("ttyUSB1")}, {5, pty.Path}, {7, tree.Dev("gone")}}),
                            ports, tree.Roots()));
  struct Row {
    std::string port, byId, usb, serial, driver;
    TPortAccess access;
    std::string tip;
  };
  const Row rows[] = {
      {"COM1", "", "", "", "serial", TPortAccess::Yes, tree.Dev("ttyS0")},
      {"COM2", "", "1546:01a8 u-blox GNSS receiver", "", "cdc_acm", TPortAccess::Yes,
       tree.Dev("ttyACM0") + "\nu-blox GNSS receiver"},
      {"COM3", tree.Dev("serial/by-id/usb-FTDI_FT232R_USB_UART_A10K3ZQ1-if00-port0"), "0403:6001 FTDI FT232R USB UART",
       "A10K3ZQ1", "ftdi_sio", TPortAccess::Yes, tree.Dev("ttyUSB0") + "\nFT232R USB UART, serial A10K3ZQ1"},
      {"COM4", "", "067b:2303 Acme? \"Q\" Cable ??", "S/N 7", "pl2303", TPortAccess::Yes,
       tree.Dev("ttyUSB1") + "\nCable ??, serial S/N 7"},
      {"COM5", "", "", "", "", TPortAccess::Yes, pty.Path},
      {"COM7", "", "", "", "", TPortAccess::Missing, tree.Dev("gone")},
  };
  ASSERT_EQ(ports.size(), std::size(rows));
  for (size_t i = 0; i < ports.size(); ++i) {
    const TPortInfo& p = ports[i];
    const Row& r = rows[i];
    EXPECT_EQ(std::make_tuple(p.Port, p.ById, p.Serial, p.Driver, p.Access, p.HolderPid),
              std::make_tuple(r.port, r.byId, r.serial, r.driver, r.access, 0))
        << r.port;
    EXPECT_EQ(UsbText(p), r.usb);
    EXPECT_EQ(PortToolTip(p), r.tip);
  }
  ports[1].Product.clear();  // an adapter without strings is named by its ids
  EXPECT_EQ(PortToolTip(ports[1]), tree.Dev("ttyACM0") + "\nUSB 1546:01a8");
}

// The engine's lock makes a port busy, its holder named from /proc/locks.
TEST(PortFacts, APortTheEngineHoldsIsBusyWithItsHolderNamed) {
  const PtyPair pty;
  TSerialDriver driver;
  ASSERT_EQ(driver.Open(pty.Path), 0);
  TPortInfo held = DescribePort({5, pty.Path});
  std::ifstream comm("/proc/self/comm");
  std::string self;
  std::getline(comm, self);
  EXPECT_EQ(std::make_tuple(held.Access, held.HolderPid, held.Holder),
            std::make_tuple(TPortAccess::Busy, static_cast<int>(::getpid()), self));
  driver.Close();
  EXPECT_EQ(DescribePort({5, pty.Path}).Access, TPortAccess::Yes);
}

// Runs DescribePort as an ordinary user (root's rights dropped in a child):
// whether it found no permission, with `group` to join ("": none may open it).
bool NoPermissionWithGroup(const std::string& path, const std::string& group) {
  const auto check = [&] {
    const TPortInfo info = DescribePort({1, path});
    return info.Access == TPortAccess::NoPermission && info.Group == group;
  };
  if (::geteuid() != 0) return check();
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(::setgid(65534) == 0 && ::setuid(65534) == 0 && check() ? 0 : 1);
  int status = 0;
  return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(PortFacts, NoPermissionNamesTheGroupWhereItMayOpenTheDevice) {
  FakePortTree tree;
  const std::string node = tree.Node("ttyUSB0");
  for (const auto& folder : {tree.Root, tree.Root / "dev"}) ::chmod(folder.c_str(), 0755);
  struct stat st {};
  ASSERT_EQ(::stat(node.c_str(), &st), 0);
  const group* g = ::getgrgid(st.st_gid);
  // The owner's bits keep a non-root owner out.
  const bool root = ::geteuid() == 0;
  const std::pair<mode_t, std::string> modes[] = {{root ? 0660 : 0060, g ? g->gr_name : std::to_string(st.st_gid)},
                                                  {root ? 0600 : 0, ""}};
  for (const auto& [mode, group] : modes) {
    ASSERT_EQ(::chmod(node.c_str(), mode), 0);
    EXPECT_TRUE(NoPermissionWithGroup(node, group)) << std::oct << mode;
  }
}

}  // namespace
