// A machine's port facts in a temporary folder, for the port listing: sysfs
// tty entries linked to their devices and drivers, USB devices with their
// strings, device nodes (plain files), /dev/serial/by-id links, and a /proc
// with locks and command names.
#pragma once

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>

#include "PortInfo.h"

struct FakePortTree {
  std::filesystem::path Root;

  FakePortTree() {
    static std::atomic<int> count{0};
    Root = std::filesystem::temp_directory_path() /
           ("quarl-ports-" + std::to_string(::getpid()) + "-" + std::to_string(count.fetch_add(1, std::memory_order_relaxed)));
    std::filesystem::remove_all(Root);
    std::filesystem::create_directories(Root / "sys/class/tty");
    std::filesystem::create_directories(Root / "dev/serial/by-id");
    std::filesystem::create_directories(Root / "proc");
    Write("proc/locks", "");
  }
  ~FakePortTree() {
    std::error_code ec;
    std::filesystem::remove_all(Root, ec);
  }
  FakePortTree(const FakePortTree&) = delete;
  FakePortTree& operator=(const FakePortTree&) = delete;

  QuarlComm32::TPortRoots Roots() const {
    return {(Root / "sys/class/tty").string(), (Root / "dev/serial/by-id").string(), (Root / "proc").string()};
  }

  // A file below the root with `text` (folders made on the way).
  void Write(const std::string& relative, const std::string& text) const {
    std::filesystem::create_directories((Root / relative).parent_path());
    std::ofstream(Root / relative, std::ios::binary) << text;
  }
  void Link(const std::string& relative, const std::filesystem::path& target) const {
    std::filesystem::create_directories((Root / relative).parent_path());
    std::filesystem::create_symlink(target, Root / relative);
  }

  // A device node under the fake /dev (a plain file will do); its path.
  std::string Node(const std::string& name) const {
    Write("dev/" + name, "");
    return Dev(name);
  }
  std::string Dev(const std::string& name) const { return (Root / "dev" / name).string(); }

  // The tty `name` with its device at sys/devices/`device`, bound to `driver`.
  void Tty(const std::string& name, const std::string& device, const std::string& driver) const {
    std::filesystem::create_directories(Root / "sys/devices" / device);
    Link("sys/class/tty/" + name + "/device", Root / "sys/devices" / device);
    std::filesystem::create_directories(Root / "sys/bus/drivers" / driver);
    Link("sys/devices/" + device + "/driver", Root / "sys/bus/drivers" / driver);
    Node(name);
  }
  // A USB device at sys/devices/`device`; empty strings are not written.
  void Usb(const std::string& device, const std::string& vendor, const std::string& product,
           const std::string& manufacturer, const std::string& productName, const std::string& serial) const {
    const std::pair<const char*, const std::string*> files[] = {{"idVendor", &vendor},
                                                                {"idProduct", &product},
                                                                {"manufacturer", &manufacturer},
                                                                {"product", &productName},
                                                                {"serial", &serial}};
    for (const auto& [file, text] : files)
      if (!text->empty()) Write("sys/devices/" + device + "/" + file, *text + "\n");
  }
  // A /dev/serial/by-id link to the node `name`.
  void ById(const std::string& link, const std::string& name) const {
    Link("dev/serial/by-id/" + link, std::filesystem::path("../..") / name);
  }
  // Process `pid`, named `comm`, holding a lock on `path` in the fake /proc.
  void Lock(const std::string& path, int pid, const std::string& comm) const {
    struct stat st {};
    ::stat(path.c_str(), &st);
    std::ofstream(Root / "proc/locks", std::ios::app)
        << "1: FLOCK  ADVISORY  WRITE " << pid << " " << std::hex << major(st.st_dev) << ":" << minor(st.st_dev)
        << ":" << std::dec << st.st_ino << " 0 EOF\n";
    Write("proc/" + std::to_string(pid) + "/comm", comm + "\n");
  }

  // The field crew's laptop: a USB adapter with strings and a by-id link, a
  // built-in UART with no USB parent, a USB receiver (CDC ACM) with no serial
  // and no by-id link.
  void Laptop() const {
    const std::string usb = "pci0000:00/0000:00:14.0/usb1/1-2";
    Usb(usb, "0403", "6001", "FTDI", "FT232R USB UART", "A10K3ZQ1");
    Tty("ttyUSB0", usb + "/1-2:1.0/ttyUSB0", "ftdi_sio");
    ById("usb-FTDI_FT232R_USB_UART_A10K3ZQ1-if00-port0", "ttyUSB0");
    Tty("ttyS0", "pnp0/00:04", "serial");
    const std::string acm = "pci0000:00/0000:00:14.0/usb1/1-3";
    Usb(acm, "1546", "01a8", "", "u-blox GNSS receiver", "");
    Tty("ttyACM0", acm + "/1-3:1.0", "cdc_acm");
  }
};
