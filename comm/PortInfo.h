// What the system knows of each port of a port map: the device behind a COM
// name, its stable /dev/serial/by-id name, the USB adapter it sits on, its
// driver, and whether this user can open it now. Read from sysfs, /dev and
// /proc; no device is ever opened (opening a serial port raises DTR, which
// can reset what is attached).
#pragma once

#include <string>
#include <vector>

#include "PortMap.h"

namespace QuarlComm32 {

// Where the system's facts are read; tests point these at a fake tree.
struct TPortRoots {
  std::string Tty = "/sys/class/tty";
  std::string ById = "/dev/serial/by-id";
  std::string Proc = "/proc";
};

// Whether this user can open a port now.
enum class TPortAccess {
  Yes,           // it would open
  NoPermission,  // the device file's mode keeps this user out (Group says whom it lets in)
  Busy,          // another program holds its lock (Holder, HolderPid)
  Missing,       // no such device (unplugged, a simulator not started)
  Error,         // another reason, ErrorCode says which
  Unknown,       // not looked at (DescribePort without access)
};

struct TPortInfo {
  int Number = 0;
  std::string Port;          // "COM3"
  std::string Device;        // the path the port opens
  std::string ById;          // the /dev/serial/by-id link to the same device, or ""
  // The USB device the port sits on; all empty for a built-in UART, a
  // pseudo-terminal or anything else without a USB parent.
  std::string VendorId;      // 4 hex digits, "0403"
  std::string ProductId;     // 4 hex digits, "6001"
  std::string Manufacturer;  // "FTDI", where the device says
  std::string Product;       // "FT232R USB UART", where the device says
  std::string Serial;        // "A10K3ZQ1", where the device says
  std::string Driver;        // the kernel driver of the tty's device: "ftdi_sio", "cdc_acm", "serial8250"

  TPortAccess Access = TPortAccess::Unknown;
  std::string Group;        // NoPermission: the group of the device file, where that group may open it
  bool GroupPending = false;  // NoPermission: the user is in Group, but not in this login yet
  int HolderPid = 0;        // Busy: who holds the lock; Yes: another program with it open (0: none seen)
  std::string Holder;       // its command name
  int ErrorCode = 0;        // the errno of Missing and Error
};

// The facts about one port. `access`: also whether it can be opened now
// (reads /proc/locks, and every process's descriptors when no lock is held).
TPortInfo DescribePort(const TPortEntry& entry, const TPortRoots& roots = {}, bool access = true);

// DescribePort for every port of `map`, in its order. False when the map
// cannot be read at all (`ports` is then empty).
bool DescribePorts(const IPortMap& map, std::vector<TPortInfo>& ports, const TPortRoots& roots = {},
                   bool access = true);

// A short text for a tooltip: the device path, and on a second line, for a
// USB adapter, what it is and its serial ("/dev/ttyUSB0\nFT232R USB UART,
// serial A10K3ZQ1").
std::string PortToolTip(const TPortInfo& info);

// "0403:6001 FTDI FT232R USB UART": the USB ids and the strings there are,
// or "" for a port without a USB parent.
std::string UsbText(const TPortInfo& info);

}  // namespace QuarlComm32
