#include "PortsCommand.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "Json.h"
#include "Z500Ctl.h"

namespace Z500Ctl {
namespace {

using QuarlComm32::TPortAccess;
using QuarlComm32::TPortInfo;

// The widest device column; a longer path pushes its line's access along.
constexpr size_t kDeviceColumn = 24;

std::string Holder(const TPortInfo& p) {
  return p.Holder + " (pid " + std::to_string(p.HolderPid) + ")";
}

// The access column: what a user can do about a port that does not open.
std::string AccessText(const TPortInfo& p) {
  switch (p.Access) {
    case TPortAccess::Yes:
      return p.HolderPid ? "open: yes (also open in " + Holder(p) + ")" : "open: yes";
    case TPortAccess::NoPermission:
      if (p.Group.empty()) return "no permission";
      return p.GroupPending ? "no permission: log in again for group " + p.Group
                            : "no permission: join group " + p.Group;
    case TPortAccess::Busy:
      return p.HolderPid ? "busy: " + Holder(p) : "busy";
    case TPortAccess::Missing:
      return "missing";
    case TPortAccess::Error:
      return std::string("error: ") + std::strerror(p.ErrorCode);
    default:
      return "not checked";
  }
}

const char* AccessWord(TPortAccess access) {
  switch (access) {
    case TPortAccess::Yes: return "yes";
    case TPortAccess::NoPermission: return "no-permission";
    case TPortAccess::Busy: return "busy";
    case TPortAccess::Missing: return "missing";
    default: return "error";
  }
}

// The detail lines under a port, indented: USB adapter and driver, by-id name.
void PrintDetails(std::ostream& out, const TPortInfo& p) {
  std::string usb = QuarlComm32::UsbText(p);
  if (!usb.empty() && !p.Serial.empty()) usb += ", serial " + p.Serial;
  std::string line = usb.empty() ? std::string() : "usb " + usb;
  if (!p.Driver.empty()) line += (line.empty() ? "driver " : ", driver ") + p.Driver;
  if (!line.empty()) out << "      " << OneLine(line) << "\n";
  if (!p.ById.empty()) {
    const size_t slash = p.ById.rfind('/');
    out << "      by-id " << OneLine(slash == std::string::npos ? p.ById : p.ById.substr(slash + 1)) << "\n";
  }
}

void PrintText(std::ostream& out, const std::vector<TPortInfo>& ports) {
  size_t width = 0;
  for (const TPortInfo& p : ports) width = std::max(width, std::min(OneLine(p.Device).size(), kDeviceColumn));
  for (const TPortInfo& p : ports) {
    const std::string device = OneLine(p.Device);
    std::string port = p.Port;
    port.resize(std::max<size_t>(port.size() + 1, 6), ' ');
    out << port << device << std::string(width - std::min(width, device.size()) + 2, ' ')
        << OneLine(AccessText(p)) << "\n";
    PrintDetails(out, p);
  }
}

std::string JsonOrNull(const std::string& text) { return text.empty() ? "null" : JsonString(text); }

void PrintJson(std::ostream& out, const std::vector<TPortInfo>& ports) {
  out << "[";
  for (size_t i = 0; i < ports.size(); ++i) {
    const TPortInfo& p = ports[i];
    const bool error = p.Access == TPortAccess::Error;
    out << (i ? ",\n " : "\n ") << "{\"port\": " << JsonString(p.Port) << ", \"device\": " << JsonString(p.Device)
        << ", \"by_id\": " << JsonOrNull(p.ById) << ", \"vendor_id\": " << JsonOrNull(p.VendorId)
        << ", \"product_id\": " << JsonOrNull(p.ProductId) << ", \"manufacturer\": " << JsonOrNull(p.Manufacturer)
        << ", \"product\": " << JsonOrNull(p.Product) << ", \"serial\": " << JsonOrNull(p.Serial)
        << ", \"driver\": " << JsonOrNull(p.Driver) << ", \"access\": \"" << AccessWord(p.Access)
        << "\", \"group\": " << JsonOrNull(p.Group)
        << ", \"holder_pid\": " << (p.HolderPid ? std::to_string(p.HolderPid) : "null")
        << ", \"holder\": " << JsonOrNull(p.HolderPid ? p.Holder : std::string())
        << ", \"error\": " << JsonOrNull(error ? std::strerror(p.ErrorCode) : "") << "}";
  }
  out << (ports.empty() ? "]\n" : "\n]\n");
}

}  // namespace

int PortsCommand(std::ostream& out, std::ostream& err, bool json, const QuarlComm32::IPortMap& map,
                 const QuarlComm32::TPortRoots& roots) {
  std::vector<TPortInfo> ports;
  if (!QuarlComm32::DescribePorts(map, ports, roots)) {
    err << "z500ctl: the list of serial ports cannot be read\n";
    return xPort;
  }
  if (json) {
    PrintJson(out, ports);
  } else {
    if (ports.empty()) err << "z500ctl: no serial ports found\n";
    PrintText(out, ports);
  }
  return OutputWritten(out, err);
}

int PortsCommand(std::ostream& out, std::ostream& err, bool json) {
  return PortsCommand(out, err, json, *QuarlComm32::DefaultPortMap(), {});
}

}  // namespace Z500Ctl
