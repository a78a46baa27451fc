#include "PortMap.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <set>
#include <tuple>

namespace QuarlComm32 {
namespace {

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

// "COMn" with n digits only: the rule for overrides and device names.
int ExactComNumber(const std::string& name) {
  const TComName read = ReadComName(name);
  return read.Exact ? read.Number : 0;
}

// Splits "ttyUSB12" into ("ttyUSB", 12); a name without a number gets -1.
std::pair<std::string, long> SplitName(const std::string& name) {
  size_t i = name.size();
  while (i > 0 && std::isdigit(static_cast<unsigned char>(name[i - 1]))) --i;
  if (i == name.size() || name.size() - i > 9) return {name, -1};
  return {name.substr(0, i), std::atol(name.c_str() + i)};
}

// An entry as a problem line quotes it: control characters as \xNN, so that
// the line stays one line.
std::string Quoted(const std::string& entry) {
  std::string out = "\"";
  for (char c : entry) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7F) {
      char esc[5];
      std::snprintf(esc, sizeof esc, "\\x%02x", b);
      out += esc;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

bool ReadsAsZero(const std::string& path) {
  std::ifstream f(path);
  long v = -1;
  return f && (f >> v) && v == 0;
}

// The overrides of the given text (nullptr: QUARLCOMM_PORTS). Their problems
// are said once per process, not on every refresh of the list.
std::vector<TPortEntry> ReadOverrides(const char* text) {
  if (text == nullptr) text = std::getenv("QUARLCOMM_PORTS");
  std::vector<std::string> problems;
  std::vector<TPortEntry> overrides = ParsePortOverrides(text ? text : "", &problems);
  static std::atomic<bool> told{false};
  if (!problems.empty() && !told.exchange(true, std::memory_order_relaxed))
    for (const std::string& p : problems) std::fprintf(stderr, "QUARLCOMM_PORTS: %s\n", p.c_str());
  return overrides;
}

// Appends the names of the serial devices in a sysfs tty folder; false when
// the folder cannot be read.
bool ListSerialDevices(const std::string& root, std::vector<std::string>& names) {
  const std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(root.c_str()), &::closedir);
  if (!dir) return false;
  while (const dirent* e = ::readdir(dir.get())) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    const std::string base = root + "/" + name;
    struct stat st {};
    if (::stat((base + "/device").c_str(), &st) != 0) continue;  // virtual terminal, pty, ...
    if (ReadsAsZero(base + "/type")) continue;                    // serial core port with no UART
    names.push_back(name);
  }
  return true;
}

}  // namespace

std::string IPortMap::DevicePath(int number) const {
  std::vector<TPortEntry> ports;
  List(ports);
  for (const TPortEntry& p : ports)
    if (p.Number == number) return p.Device;
  return {};
}

TFixedPortMap::TFixedPortMap(std::vector<TPortEntry> ports, bool readable)
    : Ports(std::move(ports)), Readable(readable) {
  std::sort(Ports.begin(), Ports.end(),
            [](const TPortEntry& a, const TPortEntry& b) { return a.Number < b.Number; });
}

bool TFixedPortMap::List(std::vector<TPortEntry>& ports) const {
  ports.clear();
  if (!Readable) return false;
  ports = Ports;
  return true;
}

std::vector<TPortEntry> ParsePortOverrides(const std::string& text, std::vector<std::string>* problems) {
  std::vector<TPortEntry> out;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find_first_of(",;", start);
    if (end == std::string::npos) end = text.size();
    const std::string entry = Trim(text.substr(start, end - start));
    start = end + 1;
    if (entry.empty()) continue;
    const size_t eq = entry.find('=');
    const int number = eq == std::string::npos ? 0 : ExactComNumber(Trim(entry.substr(0, eq)));
    const std::string path = eq == std::string::npos ? std::string() : Trim(entry.substr(eq + 1));
    if (number <= 0 || path.empty()) {
      if (problems) problems->push_back("ignored " + Quoted(entry) + ": expected COMn=/path/to/device with n >= 1");
      continue;
    }
    if (std::any_of(out.begin(), out.end(), [&](const TPortEntry& p) { return p.Number == number; })) {
      if (problems) problems->push_back("ignored " + Quoted(entry) + ": COM" + std::to_string(number) + " is already mapped");
      continue;
    }
    out.push_back({number, path});
  }
  std::sort(out.begin(), out.end(), [](const TPortEntry& a, const TPortEntry& b) { return a.Number < b.Number; });
  return out;
}

std::vector<TPortEntry> NumberPorts(const std::vector<TPortEntry>& overrides,
                                    const std::vector<std::string>& deviceNames, const std::string& devRoot) {
  std::vector<TPortEntry> out = overrides;
  std::set<int> taken;
  std::set<std::string> overridden;
  for (const TPortEntry& p : overrides) {
    taken.insert(p.Number);
    overridden.insert(p.Device);
  }

  // Ordered by name prefix and number; the name itself (which may hold
  // leading zeros, "ttyUSB01") is the device to open.
  std::vector<std::tuple<std::string, long, std::string>> others;
  for (const std::string& name : deviceNames) {
    const std::string path = devRoot + "/" + name;
    if (overridden.count(path)) continue;  // already listed under its override
    auto [prefix, k] = SplitName(name);
    if (prefix == "ttyS" && k >= 0) {
      const int number = static_cast<int>(k + 1);
      if (taken.insert(number).second) out.push_back({number, path});
    } else {
      others.emplace_back(prefix, k, name);
    }
  }
  std::sort(others.begin(), others.end());
  int next = 1;
  for (const auto& [prefix, k, name] : others) {
    while (taken.count(next)) ++next;
    taken.insert(next);
    out.push_back({next, devRoot + "/" + name});
  }
  std::sort(out.begin(), out.end(), [](const TPortEntry& a, const TPortEntry& b) { return a.Number < b.Number; });
  return out;
}

TSystemPortMap::TSystemPortMap(std::string sysfsRoot, std::string devRoot, const char* overrides)
    : SysfsRoot(std::move(sysfsRoot)), DevRoot(std::move(devRoot)),
      HasOverrideText(overrides != nullptr), OverrideText(overrides ? overrides : "") {}

bool TSystemPortMap::Map(std::vector<TPortEntry>& ports, std::vector<TPortEntry>* overridesOut) const {
  const std::vector<TPortEntry> overrides = ReadOverrides(HasOverrideText ? OverrideText.c_str() : nullptr);
  std::vector<std::string> names;
  if (!ListSerialDevices(SysfsRoot, names) && overrides.empty()) {
    ports.clear();
    return false;
  }
  ports = NumberPorts(overrides, names, DevRoot);
  if (overridesOut) *overridesOut = overrides;
  return true;
}

bool TSystemPortMap::List(std::vector<TPortEntry>& ports) const {
  std::vector<TPortEntry> overrides;
  if (!Map(ports, &overrides)) return false;
  // Only a path that is certainly not there is left out: one that cannot be
  // looked at (a folder without permission) is listed, and opening it says why.
  std::erase_if(ports, [&](const TPortEntry& p) {
    if (std::find(overrides.begin(), overrides.end(), p) == overrides.end()) return false;
    struct stat st {};
    return ::stat(p.Device.c_str(), &st) != 0 && (errno == ENOENT || errno == ENOTDIR);
  });
  return true;
}

std::string TSystemPortMap::DevicePath(int number) const {
  std::vector<TPortEntry> ports;
  Map(ports, nullptr);
  for (const TPortEntry& p : ports)
    if (p.Number == number) return p.Device;
  return {};
}

namespace {
std::mutex gMapMutex;
std::shared_ptr<const IPortMap> gMap;
}  // namespace

std::shared_ptr<const IPortMap> DefaultPortMap() {
  std::lock_guard<std::mutex> lock(gMapMutex);
  if (!gMap) gMap = std::make_shared<TSystemPortMap>();
  return gMap;
}

void SetDefaultPortMap(std::shared_ptr<const IPortMap> map) {
  std::lock_guard<std::mutex> lock(gMapMutex);
  gMap = std::move(map);
}

TComName ReadComName(const std::string& name) {
  if (name.size() < 3) return {0, false};
  for (size_t i = 0; i < 3; ++i)
    if (std::toupper(static_cast<unsigned char>(name[i])) != "COM"[i]) return {0, false};
  size_t i = 3;
  while (i < name.size() && std::isspace(static_cast<unsigned char>(name[i]))) ++i;
  bool negative = false;
  if (i < name.size() && (name[i] == '+' || name[i] == '-')) negative = name[i++] == '-';
  const size_t firstDigit = i;
  long value = 0;
  for (; i < name.size() && std::isdigit(static_cast<unsigned char>(name[i])); ++i)
    if (value <= MaxComNumber) value = value * 10 + (name[i] - '0');
  const bool exact = firstDigit == 3 && i > 3 && i == name.size();
  const bool valid = !negative && value > 0 && value <= MaxComNumber;
  return {valid ? static_cast<int>(value) : 0, exact};
}

int ComNumberOf(const std::string& deviceName) {
  const std::string prefix = "\\\\.\\";
  const bool prefixed = deviceName.compare(0, prefix.size(), prefix) == 0;
  return ExactComNumber(prefixed ? deviceName.substr(prefix.size()) : deviceName);
}

std::string ComName(int number) { return "COM" + std::to_string(number); }

bool ListComNames(std::vector<std::string>& names, const std::shared_ptr<const IPortMap>& map) {
  const std::shared_ptr<const IPortMap> source = map ? map : DefaultPortMap();
  std::vector<TPortEntry> ports;
  const bool readable = source->List(ports);
  for (const TPortEntry& p : ports)
    if (p.Number > 0) names.push_back(ComName(p.Number));
  return readable;
}

namespace {
std::atomic<unsigned long> gPortListErrors{0};
}  // namespace

void ReportPortListError(const char* what) {
  if (gPortListErrors.fetch_add(1, std::memory_order_relaxed) == 0)
    std::fprintf(stderr, "serial port list: %s\n", what && *what ? what : "unknown error");
}

unsigned long PortListErrors() { return gPortListErrors.load(std::memory_order_relaxed); }

}  // namespace QuarlComm32
