// A machine's port facts in a temporary folder: sysfs tty entries linked to
// their devices and drivers, USB devices with their strings, device nodes
// (plain files), /dev/serial/by-id links, and a /proc with locks.
#pragma once

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "PortInfo.h"

struct FakePortTree {
  std::filesystem::path Root = std::filesystem::temp_directory_path() /
                               ("quarl-ports-" + std::to_string(::getpid()) + "-" + std::to_string(Count()++));

  FakePortTree() {
    Write("proc/locks", "");
    std::filesystem::create_directories(Root / "dev/serial/by-id");
  }
  ~FakePortTree() {
    std::error_code ec;
    std::filesystem::remove_all(Root, ec);
  }
  static std::atomic<int>& Count() {
    static std::atomic<int> count{0};
    return count;
  }
  QuarlComm32::TPortRoots Roots() const {
    return {(Root / "sys/class/tty").string(), (Root / "dev/serial/by-id").string(), (Root / "proc").string()};
  }
  void Write(const std::string& relative, const std::string& text) const {
    std::filesystem::create_directories((Root / relative).parent_path());
    std::ofstream(Root / relative, std::ios::binary) << text;
  }
  void Link(const std::string& relative, const std::filesystem::path& target) const {
    std::filesystem::create_directories((Root / relative).parent_path());
    std::filesystem::create_symlink(target, Root / relative);
  }
  std::string Dev(const std::string& name) const { return (Root / "dev" / name).string(); }
  std::string Node(const std::string& name) const {
    Write("dev/" + name, "");
    return Dev(name);
  }

  // The tty `name`, its device at sys/devices/`device` bound to `driver`.
  void Tty(const std::string& name, const std::string& device, const std::string& driver) const {
    std::filesystem::create_directories(Root / "sys/drivers" / driver);
    Link("sys/devices/" + device + "/driver", Root / "sys/drivers" / driver);
    Link("sys/class/tty/" + name + "/device", Root / "sys/devices" / device);
    Node(name);
  }
  // A USB device at sys/devices/`device`: ids, then manufacturer, product
  // and serial where not empty.
  void Usb(const std::string& device, const std::vector<std::string>& values) const {
    const char* files[] = {"idVendor", "idProduct", "manufacturer", "product", "serial"};
    for (size_t i = 0; i < values.size(); ++i)
      if (!values[i].empty()) Write("sys/devices/" + device + "/" + files[i], values[i] + "\n");
  }
  // Process `pid`, named `comm`, holding a lock on `path`.
  void Lock(const std::string& path, int pid, const std::string& comm) const {
    struct stat st {};
    ::stat(path.c_str(), &st);
    std::ofstream(Root / "proc/locks", std::ios::app) << "1: FLOCK  ADVISORY  WRITE " << pid << " " << std::hex
        << major(st.st_dev) << ":" << minor(st.st_dev) << ":" << std::dec << st.st_ino << " 0 EOF\n";
    Write("proc/" + std::to_string(pid) + "/comm", comm + "\n");
  }

  // A laptop: a USB adapter with strings and a by-id link, a built-in UART
  // with no USB parent, a USB receiver with no serial and no by-id link.
  void Laptop() const {
    const std::string usb = "pci0000:00/usb1/1-2", acm = "pci0000:00/usb1/1-3";
    Usb(usb, {"0403", "6001", "FTDI", "FT232R USB UART", "A10K3ZQ1"});
    Tty("ttyUSB0", usb + "/1-2:1.0/ttyUSB0", "ftdi_sio");
    Link("dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K3ZQ1-if00-port0", "../../ttyUSB0");
    Tty("ttyS0", "pnp0/00:04", "serial");
    Usb(acm, {"1546", "01a8", "", "u-blox GNSS receiver"});
    Tty("ttyACM0", acm + "/1-3:1.0", "cdc_acm");
  }
};
