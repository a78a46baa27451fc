#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "SysInfo.h"

using namespace TQuarlFuncs;

TEST(SysInfo, NameFromOsReleaseVersionFromUname) {
  char path[] = "/tmp/os-release-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  std::ofstream(path) << "NAME=\"Debian GNU/Linux\"\nPRETTY_NAME=\"Debian GNU/Linux 12 \\\"bookworm\\\"\"\nID=debian\n";

  TSysInfo info;
  EXPECT_FALSE(info.Loaded);
  info.fGetOsInfo(path);
  EXPECT_TRUE(info.Loaded);
  EXPECT_STREQ(info.OsName, "Debian GNU/Linux 12 \"bookworm\"");
  EXPECT_GE(info.MajorVersion, 3u);  // any kernel this runs on
  EXPECT_STRNE(info.RegisteredOwner, "");
  EXPECT_STREQ(info.RegisteredOrganization, "");
  EXPECT_STREQ(info.ServicePack, "");

  // Without os-release the kernel's name stands in.
  std::remove(path);
  TSysInfo bare;
  bare.fGetOsInfo(path);
  EXPECT_STREQ(bare.OsName, "Linux");
  EXPECT_TRUE(bare.Loaded);
}
