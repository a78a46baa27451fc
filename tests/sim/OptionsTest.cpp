// The command line: every flag reaches its field, bad values are refused
// with a message that names the flag.
#include <gtest/gtest.h>

#include <vector>

#include "Options.h"

using namespace z500sim;

namespace {

ParsedArgs Parse(std::vector<const char*> args) {
  args.insert(args.begin(), "z500-sim");
  return ParseArgs(static_cast<int>(args.size()), args.data());
}

}  // namespace

TEST(Options, FlagsReachTheirFields) {
  const ParsedArgs p = Parse({"--files", "20", "--interval=10", "--hw", "87", "--baud", "0", "--block-result", "7@3",
                              "--drop-answer", "1", "--drop-answer=6", "--hangup-after", "0", "--split-answers",
                              "--link", "/tmp/ttyZ"});
  ASSERT_EQ(p.error, std::nullopt);
  const Options& o = p.options;
  EXPECT_EQ(o.files, 20u);
  EXPECT_EQ(o.interval, 10);
  EXPECT_EQ(o.hardwareVersion, 87);
  EXPECT_EQ(o.baud, 0u);
  EXPECT_EQ(o.blockResult, 7);
  EXPECT_EQ(o.blockResultAt, 3u);
  EXPECT_EQ(o.dropAnswers, (std::vector<uint32_t>{1, 6}));
  EXPECT_EQ(o.hangupAfter, 0u);
  EXPECT_TRUE(o.splitAnswers);
  EXPECT_EQ(o.link, "/tmp/ttyZ");
  const Options defaults = Parse({}).options;
  EXPECT_EQ(defaults.baud, 19200u);
  EXPECT_FALSE(defaults.hangupAfter.has_value());
}

TEST(Options, BadInputIsRefusedWithItsReason) {
  EXPECT_EQ(Parse({"--files", "70000"}).error, "--files: '70000' is not a number from 0 to 65535");
  EXPECT_EQ(Parse({"--hw", "8x"}).error, "--hw: '8x' is not a number from 0 to 255");
  EXPECT_EQ(Parse({"--baud"}).error, "--baud needs a value N");
  EXPECT_EQ(Parse({"--files20"}).error, "unknown option '--files20'");
  EXPECT_NE(Parse({"--block-result", "1@0"}).error.value_or("").find("RESULT@BLOCK"), std::string::npos);
  EXPECT_NE(Parse({"--link", "a", "--device", "b"}).error.value_or(""), "");
  EXPECT_TRUE(Parse({"--help"}).help);
  EXPECT_TRUE(Parse({"--version"}).version);
}
