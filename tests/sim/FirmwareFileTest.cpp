// The program's firmware files, checked at start: the expected image must be
// a readable regular file within the receiver's 16 MiB, the saved one's
// folder must take it. Every refusal names the option and the path.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "FirmwareFolder.h"
#include "FirmwareFile.h"

using namespace z500sim;
namespace fs = std::filesystem;

namespace {

class FirmwareFiles : public TFirmwareFolder {
protected:
  FirmwareFiles() : TFirmwareFolder("z500-sim-fw-", kMaxFirmware) {}
};

}  // namespace

TEST_F(FirmwareFiles, ExpectedImageIsARegularFileWithinTheCap) {
  struct Case {
    std::string path;
    const char* problem;  // nullptr: accepted
  } cases[] = {
      {P("image.088.rxf"), nullptr},
      {P("cap"), nullptr},
      {P("over"), "more than the receiver's 16 MiB"},
      {P("folder"), "is a directory"},
      {P("fifo"), "not a regular file"},  // must not wait for a writer
      {"/dev/zero", "not a regular file"},
      {P("missing"), "cannot read it: No such file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const FileError error = CheckFirmwareSource("--expect-firmware", c.path);
    Bytes read;
    const FileError readError = ReadFirmwareFile("--expect-firmware", c.path, read);
    if (c.problem == nullptr) {
      EXPECT_EQ(error, std::nullopt);
      EXPECT_EQ(readError, std::nullopt);
      EXPECT_EQ(read.size(), fs::file_size(c.path));
      continue;
    }
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->rfind("--expect-firmware: " + c.path + ": ", 0), 0u) << *error;
    EXPECT_NE(error->find(c.problem), std::string::npos) << *error;
    EXPECT_EQ(readError, error);
    EXPECT_TRUE(read.empty());
  }
  Bytes read;
  ASSERT_EQ(ReadFirmwareFile("--expect-firmware", P("image.088.rxf"), read), std::nullopt);
  EXPECT_EQ(read, (Bytes{1, 2, 3}));
}

TEST_F(FirmwareFiles, SavedImageNeedsAFolderThatTakesIt) {
  struct Case {
    std::string path;
    const char* problem;
  } cases[] = {
      {P("folder/new.bin"), nullptr},
      {P("image.088.rxf"), nullptr},  // an existing file is overwritten at exit
      {P("missing/new.bin"), "folder"},
      {P("image.088.rxf/new.bin"), "is not a folder"},
      {P("folder"), "is a directory"},
      {"/proc/self/new.bin", "cannot write it"},  // refused even to root
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const FileError error = CheckFirmwareTarget("--save-firmware", c.path);
    if (c.problem == nullptr) {
      EXPECT_EQ(error, std::nullopt);
      continue;
    }
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->rfind("--save-firmware: " + c.path + ": ", 0), 0u) << *error;
    EXPECT_NE(error->find(c.problem), std::string::npos) << *error;
  }
  // The check leaves no file behind and changes none.
  EXPECT_FALSE(fs::exists(dir / "folder/new.bin"));
  EXPECT_EQ(fs::file_size(dir / "image.088.rxf"), 3u);
}
