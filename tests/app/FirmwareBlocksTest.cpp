// The hardware version a firmware file's path names, and the block sequence
// of a file that changes while it is sent. The block answers are tested end
// to end with the window.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

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

// The file as it is read block by block, changed between two reads: the
// receiver gets the file as it was at the start, or the upgrade fails.
TEST(FirmwareBlocks, SequenceSendsTheFileAsAtTheStartOrFails) {
  using Step = Z500::TBlockSequencer::TStep;
  const struct {
    const char* Name;
    size_t Size;
    size_t ChangeAfter;       // reads before the file changes
    long ChangeTo;            // its new size; -1: the read fails
    std::vector<size_t> Frames;  // data bytes of each block frame sent
    Step End;
  } cases[] = {
      {"unchanged", 300, 99, 0, {128, 128, 44}, Step::Done},
      {"padded", 130, 99, 0, {128, 4}, Step::Done},
      {"shrinksMidway", 300, 1, 200, {128}, Step::ReadFailed},
      {"shrinksInsideThePaddedLastBlock", 130, 1, 129, {128}, Step::ReadFailed},
      {"shrinksToNothing", 300, 2, 0, {128, 128}, Step::ReadFailed},
      {"growsAfterTheLastBlock", 300, 3, 301, {128, 128, 44}, Step::Grew},
      {"growsMidway", 300, 1, 4000, {128, 128, 44}, Step::Grew},
      {"readFails", 300, 1, -1, {128}, Step::ReadFailed},
      {"readFailsAtTheEnd", 300, 3, -1, {128, 128, 44}, Step::ReadFailed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    std::vector<uint8_t> file(c.Size);
    for (size_t i = 0; i < file.size(); ++i) file[i] = static_cast<uint8_t>(i + 1);
    size_t at = 0, reads = 0;
    bool fails = false;
    const auto read = [&](uint8_t* buf, size_t len) -> long {
      if (reads++ == c.ChangeAfter) {
        if (c.ChangeTo < 0) fails = true;
        else file.resize(static_cast<size_t>(c.ChangeTo), 0xEE);
      }
      if (fails) return -1;
      const size_t n = std::min(len, file.size() - std::min(at, file.size()));
      std::copy_n(file.begin() + static_cast<ptrdiff_t>(at), n, buf);
      at += n;
      return static_cast<long>(n);
    };
    Z500::TBlockSequencer blocks;
    blocks.Start(static_cast<int32_t>(c.Size));
    std::vector<size_t> frames;
    Z500::TBlockSequencer::TNext next;
    while ((next = blocks.Next(read)).Step == Step::Block && frames.size() < 10) {
      frames.push_back(next.Frame.size() - 9);
      // Data as read, at its address, padding zero.
      const uint32_t address = 0x40008000 + 128 * static_cast<uint32_t>(frames.size() - 1);
      EXPECT_EQ(next.Frame[8], static_cast<uint8_t>(address)) << frames.size();
      EXPECT_EQ(next.Frame[9], static_cast<uint8_t>(128 * (frames.size() - 1) + 1));
    }
    EXPECT_EQ(frames, c.Frames);
    EXPECT_EQ(next.Step, c.End);
    EXPECT_TRUE(next.Frame.empty());
  }
  Z500::TBlockSequencer padded;
  padded.Start(130);
  std::vector<uint8_t> file(130, 0x55);
  size_t at = 0;
  const auto read = [&](uint8_t* buf, size_t len) {
    const size_t n = std::min(len, file.size() - at);
    std::copy_n(file.begin() + static_cast<ptrdiff_t>(at), n, buf);
    at += n;
    return static_cast<long>(n);
  };
  padded.Next(read);
  const auto last = padded.Next(read);
  EXPECT_EQ(std::vector<uint8_t>(last.Frame.begin() + 9, last.Frame.end()), (std::vector<uint8_t>{0x55, 0x55, 0, 0}));
  EXPECT_EQ(padded.BytesSent, 132);
  EXPECT_EQ(padded.BytesRead, 130);
}
