// A temporary folder of the files a firmware opener meets: a 3-byte image, an
// empty one, a sub-folder, a FIFO, and sparse files at and one byte over the
// size limit the test gives.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

class TFirmwareFolder : public ::testing::Test {
protected:
  TFirmwareFolder(const char* tag, uintmax_t limit) : Tag(tag), Limit(limit) {}
  void SetUp() override {
    dir = std::filesystem::temp_directory_path() / (Tag + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir / "folder");
    std::ofstream(dir / "image.088.rxf", std::ios::binary) << "\x01\x02\x03";
    std::ofstream(dir / "empty.088.rxf").close();
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    Sparse("cap", Limit);
    Sparse("over", Limit + 1);
  }
  void TearDown() override { std::filesystem::remove_all(dir); }
  void Sparse(const char* name, uintmax_t size) {
    std::ofstream(dir / name).close();
    std::filesystem::resize_file(dir / name, size);
  }
  std::string P(const char* name) const { return (dir / name).string(); }

  std::filesystem::path dir;

private:
  std::string Tag;
  uintmax_t Limit;
};
