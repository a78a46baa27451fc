// The frames sent to the receiver byte for byte, check bytes as literals.
#include <gtest/gtest.h>

#include "ReceiverFrames.h"
#include "TestHex.h"

using namespace Z500;

TEST(ReceiverFrames, EachFrameByteForByte) {
  EXPECT_EQ(ReadParametersRequest(), H("24 24 46 4A 00 00 0C 0D 0A"));
  EXPECT_EQ(WriteParametersRequest(5, 12), H("24 24 46 4A 02 00 05 0C 07 0D 0A"));
  EXPECT_EQ(DirectoryRequest(0), H("24 24 46 4D 03 00 08 00 00 00 0D 0A"));
  EXPECT_EQ(DirectoryRequest(0x0120), H("24 24 46 4D 03 00 08 20 01 21 0D 0A"));
  EXPECT_EQ(FormatRequest(), H("24 24 46 44 00 00 02 0D 0A"));
  EXPECT_EQ(SoundCommand(), H("24 24 53 49 04 00 FF FF 01 FF E0 0D 0A"));
  EXPECT_EQ(SerialResetCommand(), H("24 24 53 52 53 54"));
  EXPECT_EQ(UpgradeHandshake(), H("24 24 56 53 01 00"));
  EXPECT_EQ(BlockFrame(0x12345678, H("AA BB CC")), H("24 24 56 58 03 12 34 56 78 AA BB CC"));
  EXPECT_EQ(UnlogCommand(), H("75 6E 6C 6F 67 61 6C 6C 20 63 6F 6D 31 0D 0A 00"));
  const std::array<uint8_t, 8> names[] = {{'A', '0', '0', '1', '0', '0', '1', '0'},
                                          {'B', '1', '2', '3', '4', '5', '6', '7'}};
  EXPECT_EQ(DeleteRequest(std::span(names, 1)), H("24 24 46 44 08 00 41 30 30 31 30 30 31 30 7B 0D 0A"));
  EXPECT_EQ(DeleteRequest(names), H("24 24 46 44 10 00 41 30 30 31 30 30 31 30 42 31 32 33 34 35 36 37 11 0D 0A"));
}

TEST(ReceiverFrames, LengthFieldsAtTheirLimits) {
  const TFrame page = StandardFrame(fcStatic, 'M', Bytes(300));
  EXPECT_EQ(Bytes(page.begin(), page.begin() + 6), H("24 24 46 4D 2C 01"));
  EXPECT_EQ(StandardFrame(fcStatic, 'M', Bytes(65535)).size(), 65544u);
  EXPECT_TRUE(StandardFrame(fcStatic, 'M', Bytes(65536)).empty());

  std::vector<std::array<uint8_t, 8>> names(8191);
  EXPECT_EQ(DeleteRequest(names).size(), 9u + 8 * 8191);
  names.emplace_back();
  EXPECT_TRUE(DeleteRequest(names).empty());
  EXPECT_TRUE(DeleteRequest({}).empty());

  EXPECT_EQ(BlockFrame(1, Bytes(255)).size(), 264u);
  EXPECT_TRUE(BlockFrame(1, Bytes(256)).empty());
}
