// The hardware version a firmware file's path names. The block sequence and
// the block answers are tested end to end with the window.
#include <gtest/gtest.h>

#include "FirmwareBlocks.h"

TEST(FirmwareBlocks, HardwareVersionComesFromTheThreeCharactersBeforeTheFirstRxf) {
  const struct {
    const char* Path;
    std::optional<uint8_t> Version;
  } cases[] = {
      {"C:\\fw\\Z500.300.rxf", 44},  // the low byte of 300
      {"Z500.-12.rxf", 244},
      {"88.rxf", 0},                 // fewer than three characters
      {"Z500.088.rxf.bak", 88},      // ".rxf" anywhere in the path
      {"a.rxf/Z500.088.rxf", 0},     // the first ".rxf" counts
      {"固件1.rxf", 0},              // two bytes of "件" and "1": no integer
      {"Z500.088.RXF", std::nullopt},  // case-sensitive
      {"Z500.088.bin", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(Z500::HardwareVersionFromPath(c.Path), c.Version) << c.Path;
}
