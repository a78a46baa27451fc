// QUARLCOMM_PORTS and the numbering around it. Every entry is either taken or
// described as a problem; what is taken is COMn with n >= 1, once each, with
// a trimmed path that holds no separator, ascending, and written out again
// it parses to the same. Numbered devices keep the overrides, get numbers
// once each and open the device that was found.
#include <algorithm>
#include <cctype>
#include <set>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "PortMap.h"

using namespace QuarlComm32;

namespace {

bool Trimmed(const std::string& s) {
  return !s.empty() && !std::isspace(static_cast<unsigned char>(s.front())) &&
         !std::isspace(static_cast<unsigned char>(s.back()));
}

void CheckOverrides(const std::string& text) {
  std::vector<std::string> problems;
  const std::vector<TPortEntry> ports = ParsePortOverrides(text, &problems);
  size_t entries = 0;  // nonblank pieces between separators
  size_t start = 0;
  for (;;) {
    const size_t end = std::min(text.find_first_of(",;", start), text.size());
    const std::string piece = text.substr(start, end - start);
    if (std::any_of(piece.begin(), piece.end(), [](char c) { return !std::isspace(static_cast<unsigned char>(c)); }))
      ++entries;
    if (end == text.size()) break;
    start = end + 1;
  }
  FUZZ_CHECK(ports.size() + problems.size() == entries);
  for (size_t i = 0; i < ports.size(); ++i) {
    FUZZ_CHECK(ports[i].Number >= 1);
    if (i > 0) FUZZ_CHECK(ports[i - 1].Number < ports[i].Number);
    FUZZ_CHECK(Trimmed(ports[i].Device));
    FUZZ_CHECK(ports[i].Device.find_first_of(",;") == std::string::npos);
  }
  for (const std::string& p : problems) FUZZ_CHECK(p.find('\n') == std::string::npos);

  std::string again;
  for (const TPortEntry& p : ports) again += (again.empty() ? "" : ";") + ("COM" + std::to_string(p.Number)) + "=" + p.Device;
  std::vector<std::string> none;
  FUZZ_CHECK(ParsePortOverrides(again, &none) == ports);
  FUZZ_CHECK(none.empty());

  for (const TPortEntry& p : ports) FUZZ_CHECK(ComNumberOf("\\\\.\\COM" + std::to_string(p.Number)) == p.Number);

  // Any text as a port name: a number in range, and an exact name is the
  // name of its number (leading zeros aside).
  const TComName read = ReadComName(text);
  FUZZ_CHECK(read.Number >= 0 && read.Number <= MaxComNumber);
  if (read.Exact && read.Number > 0) FUZZ_CHECK(ComNumberOf(ComName(read.Number)) == read.Number);
}

void CheckNumbering(const std::string& overrideText, const std::vector<std::string>& names) {
  const std::vector<TPortEntry> overrides = ParsePortOverrides(overrideText);
  const std::string root = "/dev";
  const std::vector<TPortEntry> ports = NumberPorts(overrides, names, root);
  std::set<std::string> found;
  for (const std::string& n : names) found.insert(root + "/" + n);
  std::set<std::string> devices;
  for (size_t i = 0; i < ports.size(); ++i) {
    FUZZ_CHECK(ports[i].Number >= 1);
    if (i > 0) FUZZ_CHECK(ports[i - 1].Number < ports[i].Number);
    const bool overridden = std::find(overrides.begin(), overrides.end(), ports[i]) != overrides.end();
    // A device opens what was found under its own name.
    FUZZ_CHECK(overridden || found.count(ports[i].Device) == 1);
    if (!overridden) FUZZ_CHECK(devices.insert(ports[i].Device).second);
  }
  for (const TPortEntry& o : overrides) FUZZ_CHECK(std::find(ports.begin(), ports.end(), o) != ports.end());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  if (in.ConsumeBool()) {
    CheckOverrides(in.ConsumeRemainingBytesAsString());
    return 0;
  }
  const std::string overrides = in.ConsumeRandomLengthString(200);
  std::vector<std::string> names;
  while (in.remaining_bytes() > 0 && names.size() < 64) {
    std::string name = in.ConsumeRandomLengthString(24);
    // A directory entry's name: no '/' or NUL, not "." or "..".
    name.erase(std::remove_if(name.begin(), name.end(), [](char c) { return c == '/' || c == '\0'; }), name.end());
    if (name.empty() || name == "." || name == "..") continue;
    if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
  }
  CheckNumbering(overrides, names);
  return 0;
}
