// The hardware version a firmware file's path names, and the end of the
// block sequence. The blocks and their answers are tested end to end with
// the window.
#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

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

// A file that ends short of the size it had at the start fails, even when the
// padding of its last block makes up the difference.
TEST(FirmwareBlocks, TheFileMustGiveEveryByteOfItsSize) {
  for (const auto& [held, size, ends] : {std::tuple{5, 5, true}, {5, 8, false}, {130, 131, false}, {130, 129, true}}) {
    Z500::TBlockSequencer blocks;
    blocks.Start(size);
    int left = held;
    const auto read = [&](uint8_t*, size_t len) {
      const long n = std::min<long>(left, static_cast<long>(len));
      left -= static_cast<int>(n);
      return n;
    };
    Z500::TBlockSequencer::TNext next;
    while ((next = blocks.Next(read)).Step == Z500::TBlockSequencer::TStep::Block) {}
    EXPECT_EQ(next.Step, ends ? Z500::TBlockSequencer::TStep::Done : Z500::TBlockSequencer::TStep::ReadFailed)
        << held << " of " << size;
    EXPECT_EQ(blocks.BytesRead, held);
  }
}
