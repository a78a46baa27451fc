#include "SysInfo.h"

#include <pwd.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "Charset.h"
#include "StringLocale.h"

namespace TQuarlFuncs {
namespace {

// Stores UTF-8 text in the locale's code page, cut to fit with its terminator.
template <size_t N>
void Store(char (&field)[N], const std::string& utf8) {
  std::string bytes = Utf8ToCodePage(utf8, _SysLocale.CodePage);
  std::snprintf(field, N, "%s", bytes.c_str());
}

// The value of KEY=VALUE in an os-release file, with shell quoting removed.
std::string OsReleaseValue(const char* path, const char* key) {
  std::ifstream in(path);
  std::string line, prefix = std::string(key) + "=";
  while (std::getline(in, line)) {
    if (line.compare(0, prefix.size(), prefix) != 0) continue;
    std::string v = line.substr(prefix.size());
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
      const char quote = v.front();
      std::string unquoted;
      for (size_t i = 1; i + 1 < v.size(); ++i) {
        if (quote == '"' && v[i] == '\\' && i + 2 < v.size()) ++i;
        unquoted += v[i];
      }
      v = unquoted;
    }
    return v;
  }
  return {};
}

std::string UserName() {
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(size > 0 ? static_cast<size_t>(size) : 16384);
  passwd pw{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &found) == 0 && found != nullptr)
    return found->pw_name;
  const char* env = std::getenv("USER");
  return env != nullptr ? env : "";
}

}  // namespace

TSysInfo::TSysInfo()
    : PlatformId(0), OsName{}, MajorVersion(0), MinorVersion(0), BuildNumber(0),
      ServicePack{}, RegisteredOwner{}, RegisteredOrganization{}, Loaded(false) {}

void TSysInfo::fGetOsInfo() { fGetOsInfo("/etc/os-release"); }

void TSysInfo::fGetOsInfo(const char* osReleasePath) {
  utsname u{};
  const bool haveUname = uname(&u) == 0;

  std::string name = OsReleaseValue(osReleasePath, "PRETTY_NAME");
  if (name.empty()) name = OsReleaseValue(osReleasePath, "NAME");
  if (name.empty() && haveUname) name = u.sysname;
  Store(OsName, name);

  if (haveUname) {
    // "6.1.0-18-amd64": major 6, minor 1, build 0.
    unsigned major = 0, minor = 0, build = 0;
    std::sscanf(u.release, "%u.%u.%u", &major, &minor, &build);
    MajorVersion = major;
    MinorVersion = minor;
    BuildNumber = build & 0xFFFF;
  }

  Store(RegisteredOwner, UserName());
  Loaded = true;
}

}  // namespace TQuarlFuncs
