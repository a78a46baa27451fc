// The hardware version a firmware file's path names. Blocks and block
// answers are tested end to end with the window.
#include <gtest/gtest.h>

#include "FirmwareBlocks.h"
#include "TestHex.h"

using namespace Z500;

TEST(FirmwareBlocks, HardwareVersionComesFromTheThreeCharactersBeforeTheFirstRxf) {
  const struct {
    const char* Path;
    std::optional<uint8_t> Version;
  } cases[] = {
      {"/home/survey/Z500.088.rxf", 88},
      {"Z500.087.rxf", 87},
      {"C:\\fw\\Z500.300.rxf", 44},  // the low byte of 300
      {"Z500.-12.rxf", 244},
      {"88.rxf", 0},                   // fewer than three characters
      {"/fw/88.rxf", 0},               // "/88" is no integer
      {"Z500.0x8.rxf", 0},
      {"Z500.088.rxf.bak", 88},        // ".rxf" anywhere in the path
      {"a.rxf/Z500.088.rxf", 0},       // the first ".rxf" counts
      {"固件.088.rxf", 88},
      {"固件1.rxf", 0},
      {"Z500.088.RXF", std::nullopt},  // case-sensitive
      {"Z500.088.bin", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(HardwareVersionFromPath(c.Path), c.Version) << c.Path;
}
