// The hardware version a firmware file's path names and the block sequence.
// Block answers are tested end to end with the window.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

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

// The sequence both the window and z500ctl send: blocks of up to 128 bytes
// padded to a multiple of 4 at rising addresses, then the end, and a file
// that ends early or fails to read is not a success.
TEST(FirmwareBlocks, TheSequencerCutsAFileIntoAddressedBlocksUntilItsEnd) {
  const struct {
    size_t FileBytes;     // what the reader hands out in all
    int32_t StartedSize;  // the size the upgrade started with
    bool FailAtEnd;       // the read after the last bytes fails
    std::vector<size_t> Lengths;
    TBlockSequencer::TStep Last;
  } cases[] = {
      {300, 300, false, {128, 128, 44}, TBlockSequencer::TStep::Done},
      {130, 130, false, {128, 4}, TBlockSequencer::TStep::Done},
      {128, 130, false, {128}, TBlockSequencer::TStep::ReadFailed},
      {256, 256, true, {128, 128}, TBlockSequencer::TStep::ReadFailed},
  };
  for (const auto& c : cases) {
    size_t given = 0;
    const auto read = [&](uint8_t* buf, size_t len) -> long {
      const size_t n = std::min(len, c.FileBytes - given);
      for (size_t i = 0; i < n; ++i) buf[i] = static_cast<uint8_t>(given + i);
      given += n;
      return n == 0 && c.FailAtEnd ? -1 : static_cast<long>(n);
    };
    TBlockSequencer blocks;
    blocks.Start(c.StartedSize);
    uint32_t address = FirmwareLoadAddress;
    for (size_t length : c.Lengths) {
      const TBlockSequencer::TNext next = blocks.Next(read);
      ASSERT_EQ(next.Step, TBlockSequencer::TStep::Block) << c.FileBytes;
      ASSERT_EQ(next.Frame.size(), 9 + length);
      EXPECT_EQ(next.Frame[4], length);
      EXPECT_EQ(Bytes(next.Frame.begin() + 5, next.Frame.begin() + 9),
                (Bytes{uint8_t(address >> 24), uint8_t(address >> 16), uint8_t(address >> 8), uint8_t(address)}));
      EXPECT_EQ(blocks.Judge(0, address), TBlockVerdict::bvAccepted);
      EXPECT_EQ(blocks.Judge(0, address + 4), TBlockVerdict::bvWrongAddress);
      address += static_cast<uint32_t>(length);
    }
    EXPECT_EQ(blocks.Next(read).Step, c.Last) << c.FileBytes;
    EXPECT_EQ(blocks.LoadAddress, address);
  }
}
