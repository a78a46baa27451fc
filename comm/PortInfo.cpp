#include "PortInfo.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string_view>

#include "Charset.h"
#include "PortHolder.h"

namespace QuarlComm32 {
namespace {

namespace fs = std::filesystem;

// A string as a device reports it, made fit for one line of text: control
// characters and what is no UTF-8 (base's decoder marks it U+FFFD) become
// '?', outer blanks go.
std::string Clean(const std::string& raw) {
  static constexpr std::string_view Replacement = "\xEF\xBF\xBD";  // U+FFFD
  std::string decoded, out;
  TQuarlFuncs::Recode(raw, "UTF-8", "UTF-8", "?", decoded);
  for (size_t i = 0; i < decoded.size();) {
    const auto b = static_cast<unsigned char>(decoded[i]);
    if (decoded.compare(i, Replacement.size(), Replacement) == 0) {
      out += '?';
      i += Replacement.size();
    } else {
      out += b < 0x20 || b == 0x7F ? '?' : decoded[i];
      ++i;
    }
  }
  const size_t b = out.find_first_not_of(' ');
  if (b == std::string::npos) return {};
  return out.substr(b, out.find_last_not_of(' ') - b + 1);
}

// The first line of a sysfs attribute, cleaned; "" when there is none.
std::string Attribute(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  if (!std::getline(in, line)) return {};
  return Clean(line);
}

// The path with every link resolved, or "" when it does not resolve.
fs::path Resolved(const fs::path& path) {
  std::error_code ec;
  fs::path real = fs::canonical(path, ec);
  return ec ? fs::path() : real;
}

bool SameFile(const struct stat& a, const struct stat& b) {
  if (S_ISCHR(a.st_mode) && S_ISCHR(b.st_mode)) return a.st_rdev == b.st_rdev;
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The link in `folder` that leads to the same device as `device`; the
// first by name when several do.
std::string ByIdLink(const std::string& device, const std::string& folder) {
  struct stat target {};
  if (::stat(device.c_str(), &target) != 0) return {};
  std::error_code ec;
  std::vector<std::string> names;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    struct stat st {};
    if (::stat(it->path().c_str(), &st) == 0 && SameFile(st, target)) names.push_back(it->path().string());
  }
  return names.empty() ? std::string() : *std::min_element(names.begin(), names.end());
}

// The tty's device in sysfs: its driver, and the USB device above it (the
// first folder on the way up that has idVendor).
void ReadSysfs(TPortInfo& info, const std::string& ttyRoot) {
  fs::path name = Resolved(info.Device).filename();
  if (name.empty()) name = fs::path(info.Device).filename();
  if (name.empty()) return;
  const fs::path device = Resolved(fs::path(ttyRoot) / name / "device");
  if (device.empty()) return;  // a pseudo-terminal, a virtual console, a plain file
  info.Driver = Clean(Resolved(device / "driver").filename().string());
  for (fs::path p = device; !p.empty(); p = p.parent_path()) {
    std::error_code ec;
    if (fs::exists(p / "idVendor", ec)) {
      info.VendorId = Attribute(p / "idVendor");
      info.ProductId = Attribute(p / "idProduct");
      info.Manufacturer = Attribute(p / "manufacturer");
      info.Product = Attribute(p / "product");
      info.Serial = Attribute(p / "serial");
      return;
    }
    if (p == p.root_path()) return;
  }
}

// The name of group `gid`, or its number when it has none. `userListed`:
// this user is a member of it in the group database (added, but this login
// began before, so it does not have the group yet).
std::string GroupName(gid_t gid, bool& userListed) {
  userListed = false;
  long size = ::sysconf(_SC_GETGR_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
  struct group g {};
  struct group* found = nullptr;
  while (::getgrgid_r(gid, &g, buffer.data(), buffer.size(), &found) == ERANGE && buffer.size() < (1u << 20))
    buffer.resize(buffer.size() * 2);
  if (!found) return std::to_string(gid);
  char userBuffer[4096];
  struct passwd pw {};
  struct passwd* user = nullptr;
  if (::getpwuid_r(::geteuid(), &pw, userBuffer, sizeof userBuffer, &user) == 0 && user)
    for (char** m = found->gr_mem; m && *m; ++m) userListed = userListed || std::string(*m) == user->pw_name;
  return found->gr_name;
}

// Access from what stat() and access() said of the device (0 or their errno)
// and whether a lock holder was found. Permission comes before the lock, as
// opening fails on it first.
TPortAccess DecideAccess(int statErrno, int accessErrno, bool locked) {
  if (statErrno == ENOENT || statErrno == ENOTDIR) return TPortAccess::Missing;
  if (statErrno != 0) return TPortAccess::Error;
  if (accessErrno == EACCES || accessErrno == EPERM) return TPortAccess::NoPermission;
  if (accessErrno != 0) return TPortAccess::Error;
  return locked ? TPortAccess::Busy : TPortAccess::Yes;
}

void ReadAccess(TPortInfo& info, const std::string& procRoot) {
  struct stat st {};
  const int statErrno = ::stat(info.Device.c_str(), &st) == 0 ? 0 : errno;
  int accessErrno = 0;
  if (statErrno == 0 && ::faccessat(AT_FDCWD, info.Device.c_str(), R_OK | W_OK, AT_EACCESS) != 0)
    accessErrno = errno;
  // A holder is only looked for where this user could open the device.
  TPortHolder holder = statErrno == 0 && accessErrno == 0 ? FindPortHolder(info.Device, procRoot) : TPortHolder{};
  // This process having the device open without its lock is no news to it.
  if (!holder.Locked && holder.Pid == static_cast<int>(::getpid())) holder = {};
  info.Access = DecideAccess(statErrno, accessErrno, holder.Locked);
  info.ErrorCode = statErrno != 0 ? statErrno : info.Access == TPortAccess::Error ? accessErrno : 0;
  // A group to join only where the file lets its group read and write.
  const bool groupMayOpen = (st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
  if (info.Access == TPortAccess::NoPermission && groupMayOpen) info.Group = GroupName(st.st_gid, info.GroupPending);
  info.HolderPid = holder.Pid;
  info.Holder = holder.Name;
}

}  // namespace

TPortInfo DescribePort(const TPortEntry& entry, const TPortRoots& roots, bool access) {
  TPortInfo info;
  info.Number = entry.Number;
  info.Port = ComName(entry.Number);
  info.Device = entry.Device;
  info.ById = ByIdLink(entry.Device, roots.ById);
  ReadSysfs(info, roots.Tty);
  if (access) ReadAccess(info, roots.Proc);
  return info;
}

bool DescribePorts(const IPortMap& map, std::vector<TPortInfo>& ports, const TPortRoots& roots, bool access) {
  ports.clear();
  std::vector<TPortEntry> entries;
  if (!map.List(entries)) return false;
  for (const TPortEntry& e : entries) ports.push_back(DescribePort(e, roots, access));
  return true;
}

std::string UsbText(const TPortInfo& info) {
  if (info.VendorId.empty() && info.ProductId.empty()) return {};
  std::string text = info.VendorId + ":" + info.ProductId;
  for (const std::string* s : {&info.Manufacturer, &info.Product})
    if (!s->empty()) text += " " + *s;
  return text;
}

std::string PortToolTip(const TPortInfo& info) {
  if (info.VendorId.empty() && info.ProductId.empty()) return info.Device;
  std::string what = !info.Product.empty() ? info.Product : "USB " + info.VendorId + ":" + info.ProductId;
  if (!info.Serial.empty()) what += ", serial " + info.Serial;
  return info.Device + "\n" + what;
}

}  // namespace QuarlComm32
