// The firmware file's hardware version, its block frames and the verdict on
// each block answer.
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

TEST(FirmwareBlocks, AShortBlockIsPaddedWithZerosToAMultipleOfFour) {
  const struct {
    uint32_t Address;
    Bytes Data;
    const char* Frame;
  } cases[] = {
      {0x40008000, H("01 02 03 04"), "24 24 56 58 04 40 00 80 00 01 02 03 04"},
      {0x40008080, H("81 82"), "24 24 56 58 04 40 00 80 80 81 82 00 00"},
      {0x12345678, H("FF FF FF FF FF"), "24 24 56 58 08 12 34 56 78 FF FF FF FF FF 00 00 00"},
  };
  for (const auto& c : cases) EXPECT_EQ(FirmwareBlockFrame(c.Address, c.Data), H(c.Frame)) << c.Frame;
  const Bytes full(128, 0xAB);
  EXPECT_EQ(FirmwareBlockFrame(0x40008000, full).size(), 137u);
  EXPECT_TRUE(FirmwareBlockFrame(0x40008000, {}).empty());
  EXPECT_TRUE(FirmwareBlockFrame(0x40008000, Bytes(129, 0)).empty());
}

TEST(FirmwareBlocks, TheAddressCountsOnlyForAnAcceptedBlock) {
  using enum TBlockVerdict;
  constexpr uint32_t sent = 0x40008080;
  const struct {
    uint8_t Result;
    std::optional<uint32_t> Address;
    TBlockVerdict Verdict;
  } cases[] = {
      {0, sent, bvAccepted},         {0, sent + 0x80, bvWrongAddress}, {0, std::nullopt, bvWrongAddress},
      {1, std::nullopt, bvError1},   {1, sent + 0x80, bvError1},       {2, sent, bvError2},
      {7, std::nullopt, bvError},    {0xFF, sent, bvError},
  };
  for (const auto& c : cases)
    EXPECT_EQ(JudgeBlockAnswer(c.Result, c.Address, sent), c.Verdict) << +c.Result << ' ' << c.Address.value_or(0);
}
