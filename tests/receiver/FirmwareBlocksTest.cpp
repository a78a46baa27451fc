// The hardware version a firmware file's path names, and the end of the
// block sequence. The blocks and their answers are tested end to end with
// the window.
#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

#include "FirmwareBlocks.h"

TEST(FirmwareBlocks, HardwareVersionComesFromTheFilesOwnNameAndMustFitAByte) {
  const struct {
    const char* Path;
    std::optional<int> Version;
    bool Fits = true;  // a version some receiver can answer with
  } cases[] = {
      {"/media/usb/z500.088.rxf", 88},
      {"z500.088.rxf-archive/z500.087.rxf", 87},  // folders on the way do not count
      {"old.087.rxf.d/z500.088.rxf", 88},
      {"fw.rxf/notes.txt", std::nullopt},         // nor does a folder's ".rxf"
      {"z500.088.rxf/", std::nullopt},            // a folder, no file name
      {"fw.344.rxf", 344, false},                 // not its low byte, 88
      {"C:\\fw\\Z500.300.rxf", 300, false},       // '\\' is no separator here
      {"Z500.-12.rxf", -12, false},
      {"Z500.255.rxf", 255},
      {"Z500.000.rxf", 0},
      {"dir/88.rxf", 0},                          // fewer than three characters in the name
      {"Z500.088.rxf.bak", 88},                   // ".rxf" anywhere in the name
      {"a.rxf.Z500.088.rxf", 0},                  // the name's first ".rxf" counts
      {"固件1.rxf", 0},                           // two bytes of "件" and "1": no integer
      {"Z500.088.RXF", std::nullopt},             // case-sensitive
      {"Z500.088.bin", std::nullopt},
  };
  for (const auto& c : cases) {
    const std::optional<int> version = Z500::HardwareVersionFromPath(c.Path);
    EXPECT_EQ(version, c.Version) << c.Path;
    if (version) {
      EXPECT_EQ(Z500::IsHardwareVersion(*version), c.Fits) << c.Path;
    }
  }
}

// A file that ends short of the size it had at the start fails, even when the
// padding of its last block would make up the difference; one that gives
// more has grown.
TEST(FirmwareBlocks, TheFileMustGiveEveryByteOfItsSize) {
  using Step = Z500::TBlockSequencer::TStep;
  // {bytes the file gives, its size at the start, how it ends, bytes sent}:
  // a short block is not sent; a file that gives more than its size grew.
  const struct { int Held, Size; Step Ends; int Sent; } cases[] = {
      {5, 5, Step::Done, 5}, {5, 8, Step::ReadFailed, 0}, {130, 131, Step::ReadFailed, 128}, {130, 129, Step::Grew, 129}};
  for (const auto& c : cases) {
    Z500::TBlockSequencer blocks;
    blocks.Start(c.Size);
    int left = c.Held;
    const auto read = [&](uint8_t*, size_t len) {
      const long n = std::min<long>(left, static_cast<long>(len));
      left -= static_cast<int>(n);
      return n;
    };
    Z500::TBlockSequencer::TNext next;
    while ((next = blocks.Next(read)).Step == Step::Block) {}
    EXPECT_EQ(next.Step, c.Ends) << c.Held << " of " << c.Size;
    EXPECT_EQ(blocks.BytesRead, c.Sent) << c.Held << " of " << c.Size;
  }
}
