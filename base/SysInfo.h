// TSysInfo: the operating system's name and version and the user, for the
// about box. Filled once by fGetOsInfo.
#pragma once

#include <cstdint>

namespace TQuarlFuncs {

struct TSysInfo {
  TSysInfo();

  // Reads /etc/os-release (name), uname (version numbers) and the password
  // database (user, as the registered owner). Fields with no source stay empty.
  void fGetOsInfo();
  // The same with another os-release file; for tests and unusual systems.
  void fGetOsInfo(const char* osReleasePath);

  uint32_t PlatformId;
  char OsName[256];
  uint32_t MajorVersion;
  uint32_t MinorVersion;
  uint32_t BuildNumber;
  char ServicePack[128];
  char RegisteredOwner[256];
  char RegisteredOrganization[256];
  bool Loaded;
};

}  // namespace TQuarlFuncs
