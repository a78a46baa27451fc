// z500ctl end to end: its whole program logic run in-process against a
// simulated receiver on a pty, paced at 19200 baud, with the exit code and
// both output streams checked, and the receiver's state compared afterwards.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "Files.h"
#include "NameText.h"
#include "SimulatedReceiver.h"
#include "Z500Ctl.h"

using namespace std::chrono_literals;
using z500sim::FrameKind;
using SteadyClock = std::chrono::steady_clock;

namespace {

struct TRun {
  int Code;
  std::string Out, Err;
  double Seconds;
};

class Z500CtlTest : public ::testing::Test {
protected:
  void Start(z500sim::Options options = {}) {
    options.formatTimeMs = 300;
    Receiver = std::make_unique<SimulatedReceiver>(options);
    Sim = Receiver->Sim.get();
    Path = Receiver->Path;
  }

  TRun Ctl(std::vector<std::string> args) {
    args.insert(args.begin(), {"z500ctl", "--port", Path});
    std::vector<const char*> argv;
    for (auto& a : args) argv.push_back(a.c_str());
    std::ostringstream out, err;
    const auto start = SteadyClock::now();
    const int code = Z500Ctl::Run(static_cast<int>(argv.size()), argv.data(), out, err, false);
    return {code, out.str(), err.str(), std::chrono::duration<double>(SteadyClock::now() - start).count()};
  }
  std::vector<z500sim::ReceivedFrame> FramesOf(FrameKind kind) const { return Receiver->FramesOf(kind); }
  size_t Count(FrameKind kind) const { return FramesOf(kind).size(); }

  std::unique_ptr<SimulatedReceiver> Receiver;
  z500sim::Simulator* Sim = nullptr;
  std::string Path;
};

// A file in a fresh folder, removed with it.
struct TTempFile {
  TTempFile(const std::string& name, const std::vector<uint8_t>& bytes) {
    char dir[] = "/tmp/z500ctl-test-XXXXXX";
    Dir = ::mkdtemp(dir);
    Path = Dir + "/" + name;
    std::ofstream(Path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
  }
  ~TTempFile() {
    std::remove(Path.c_str());
    ::rmdir(Dir.c_str());
  }
  std::string Dir, Path;
};

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace

TEST_F(Z500CtlTest, ParamsSetThenParamsReadsBackWhatWasSet) {
  Start();
  struct Case {
    std::string Interval, Cutoff;
    int WantInterval, WantCutoff;
  } cases[] = {{"30", "40", 30, 40}, {"", "", 5, 12}, {"60", "0", 60, 0}, {"07", "89", 7, 89}};
  for (const auto& c : cases) {
    const TRun set = Ctl({"params", "set", c.Interval, c.Cutoff});
    const std::string want = "interval " + std::to_string(c.WantInterval) + "\ncutoff " +
                             std::to_string(c.WantCutoff) + "\n";
    EXPECT_EQ(set.Code, 0) << c.Interval << " " << c.Cutoff << ": " << set.Err;
    EXPECT_EQ(set.Out, want);
    EXPECT_EQ(Sim->Interval(), c.WantInterval);
    EXPECT_EQ(Sim->Cutoff(), c.WantCutoff);
    const TRun get = Ctl({"params"});
    EXPECT_EQ(get.Code, 0) << get.Err;
    EXPECT_EQ(get.Out, want);
  }
}

TEST_F(Z500CtlTest, RefusalsComeBeforeAnythingIsSent) {
  Start();
  const TTempFile empty("empty.088.rxf", {});
  struct Case {
    std::vector<std::string> Args;
    int Code;
    std::string Says;
  } cases[] = {
      {{"params", "set", "61", "12"}, Z500Ctl::xUsage, "interval '61' is above 60"},
      {{"params", "set", "5", "90"}, Z500Ctl::xUsage, "cut-off angle '90' is above 89"},
      {{"params", "set", "5a", "12"}, Z500Ctl::xUsage, "not one or two digits"},
      {{"params", "set", "100", "1"}, Z500Ctl::xUsage, "above 60"},
      {{"format"}, Z500Ctl::xUsage, "add --yes"},
      {{"delete", "A\\x4"}, Z500Ctl::xUsage, "not a file name"},
      {{"delete", "NINECHARS.TXT"}, Z500Ctl::xUsage, "not a file name"},
      {{"frobnicate"}, Z500Ctl::xUsage, "see --help"},
      {{"upgrade", empty.Path}, Z500Ctl::xFile, "is empty"},
      {{"upgrade", empty.Dir + "/missing.088.rxf"}, Z500Ctl::xFile, "cannot open"},
      {{"upgrade", empty.Dir + "/firmware.bin"}, Z500Ctl::xFile, "no .rxf"},
  };
  for (const auto& c : cases) {
    const TRun run = Ctl(c.Args);
    EXPECT_EQ(run.Code, c.Code) << c.Args[0] << " " << run.Err;
    EXPECT_NE(run.Err.find(c.Says), std::string::npos) << run.Err;
    EXPECT_EQ(Lines(run.Err).size(), 1u) << run.Err;
  }
  EXPECT_TRUE(Sim->Frames().empty()) << "the port was never opened";
}

TEST_F(Z500CtlTest, FilesListsEveryPageAsTextAndJson) {
  for (uint32_t count : {0u, 20u}) {
    SCOPED_TRACE(count);
    z500sim::Options options;
    options.files = count;
    Start(options);
    const auto files = Sim->Files();
    const TRun text = Ctl({"files"});
    ASSERT_EQ(text.Code, 0) << text.Err;
    const auto lines = Lines(text.Out);
    ASSERT_EQ(lines.size(), count);
    for (size_t i = 0; i < count; ++i) {
      const auto& f = files[i];
      std::ostringstream want;
      want.width(3);
      want << i + 1;
      EXPECT_EQ(lines[i].substr(0, 17), want.str() + "  " + f.Name() + "." + f.Extension()) << lines[i];
      EXPECT_NE(lines[i].find(std::to_string(f.Size() < 1024 ? 1 : f.Size() / 1024) + "k  "), std::string::npos);
    }
    // 8 entries a page: a listing of 20 asks three times, one of none once.
    const auto asked = FramesOf(FrameKind::Directory);
    ASSERT_EQ(asked.size(), count ? 3u : 1u);
    if (count) {
      EXPECT_EQ(asked[2].bytes[7], 16);
    }

    const TRun json = Ctl({"files", "--json"});
    ASSERT_EQ(json.Code, 0) << json.Err;
    if (count == 0) {
      EXPECT_EQ(json.Out, "[]\n");
    } else {
      EXPECT_EQ(json.Out.front(), '[');
      size_t entries = 0;
      for (size_t at = 0; (at = json.Out.find("\"name_hex\"", at)) != std::string::npos; ++at) ++entries;
      EXPECT_EQ(entries, count);
      const auto& last = files.back();
      const std::string hex = Z500Ctl::Hex(std::span(last.bytes).first(8));
      EXPECT_NE(json.Out.find("{\"number\": 20, \"name\": \"" + last.Name() + "." + last.Extension() +
                              "\", \"name_hex\": \"" + hex + "\""),
                std::string::npos)
          << json.Out;
      EXPECT_NE(json.Out.find("\"size\": " + std::to_string(last.Size()) + ","), std::string::npos);
    }
  }
}

TEST_F(Z500CtlTest, DeleteTakesANameWithHighBytesAsFilesPrintedIt) {
  Start();
  const z500sim::FileTime when{2007, 5, 3, 14, 5, 0};
  Sim->SetFiles({z500sim::MakeEntry("BJ010611", "GNS", 5000, when),
                 z500sim::MakeEntry("\xC4\xE3\xBA\xC3" "A\\", "\xB9N", 1023, when),
                 z500sim::MakeEntry("BJ010612", "GNS", 2048, when)});
  const TRun list = Ctl({"files"});
  ASSERT_EQ(list.Code, 0) << list.Err;
  const auto lines = Lines(list.Out);
  ASSERT_EQ(lines.size(), 3u);
  const std::string printed = "\\xc4\\xe3\\xba\\xc3A\\\\  .\\xb9N ";
  ASSERT_EQ(lines[1].substr(5, printed.size()), printed) << lines[1];
  const std::string json = Ctl({"files", "--json"}).Out;
  EXPECT_NE(json.find("\"name_hex\": \"c4e3bac3415c2020\", \"extension_hex\": \"b94e20\""), std::string::npos)
      << json;

  const TRun missing = Ctl({"delete", "BJ010611.GNS", "NOSUCH.GNS"});
  EXPECT_EQ(missing.Code, Z500Ctl::xNotFound) << missing.Err;
  EXPECT_EQ(Count(FrameKind::Delete), 0u);

  const TRun del = Ctl({"delete", printed});
  EXPECT_EQ(del.Code, 0) << del.Err;
  EXPECT_EQ(del.Out, "deleted \\xc4\\xe3\\xba\\xc3A\\\\  \n");
  const auto sent = FramesOf(FrameKind::Delete);
  ASSERT_EQ(sent.size(), 1u);
  const std::vector<uint8_t> want{0x24, 0x24, 0x46, 0x44, 0x08, 0x00, 0xC4, 0xE3, 0xBA, 0xC3, 0x41, 0x5C, 0x20, 0x20};
  EXPECT_EQ(std::vector<uint8_t>(sent[0].bytes.begin(), sent[0].bytes.begin() + 14), want);
  const auto left = Sim->Files();
  ASSERT_EQ(left.size(), 2u);
  EXPECT_EQ(left[0].Name(), "BJ010611");
  EXPECT_EQ(left[1].Name(), "BJ010612");
}

TEST_F(Z500CtlTest, FormatOnlyWithYesAndWaitsForTheReceiver) {
  z500sim::Options options;
  options.files = 12;
  Start(options);
  const TRun refused = Ctl({"format"});
  EXPECT_EQ(refused.Code, Z500Ctl::xUsage);
  EXPECT_EQ(Sim->Files().size(), 12u);
  const TRun done = Ctl({"format", "--yes"});
  EXPECT_EQ(done.Code, 0) << done.Err;
  EXPECT_EQ(Count(FrameKind::Format), 1u);
  EXPECT_TRUE(Sim->Files().empty());
  EXPECT_EQ(Ctl({"files", "--json"}).Out, "[]\n");
}

TEST_F(Z500CtlTest, UpgradeSendsTheImageTheReceiverThenHolds) {
  Start();
  std::vector<uint8_t> image(1030);  // 8 full blocks and a padded one of 6 bytes
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7 + 3);
  const TTempFile file("z500.088.rxf", image);
  const TRun run = Ctl({"upgrade", file.Path, "--handshake-timeout", "5"});
  ASSERT_EQ(run.Code, 0) << run.Err;
  EXPECT_NE(run.Out.find("upgraded 1030 bytes in "), std::string::npos) << run.Out;
  EXPECT_NE(run.Out.find(" B/s)"), std::string::npos) << run.Out;
  EXPECT_EQ(Count(FrameKind::Block), 9u);
  const auto check = z500sim::CompareFirmware(image, Sim->Firmware());
  EXPECT_TRUE(check.match) << check.report;
  EXPECT_EQ(Sim->Firmware().size(), 1032u);

  const TTempFile other("z500.087.rxf", image);
  const TRun mismatch = Ctl({"upgrade", other.Path, "--handshake-timeout", "5"});
  EXPECT_EQ(mismatch.Code, Z500Ctl::xVersion) << mismatch.Err;
  EXPECT_EQ(Count(FrameKind::Block), 9u) << "no block after a version mismatch";
}

TEST_F(Z500CtlTest, AFailedBlockEndsTheUpgradeWithItsCode) {
  const TTempFile file("z500.088.rxf", std::vector<uint8_t>(600, 0x5A));
  struct Case {
    void (*Fault)(z500sim::Options&);
    int Code;
    std::string Says;
  } cases[] = {
      {[](z500sim::Options& o) { o.blockResult = 2;
         o.blockResultAt = 2; }, Z500Ctl::xRefused,
       "block at 0x40008080 with error 2"},
      {[](z500sim::Options& o) { o.badAddressAt = 2; }, Z500Ctl::xRefused, "block for 0x40008080 elsewhere"},
      // The handshake's answer is the first, so the third is the second block's.
      {[](z500sim::Options& o) { o.dropAnswers = {3}; }, Z500Ctl::xTimeout, "block at 0x40008080 within 5 s"},
  };
  for (const auto& c : cases) {
    z500sim::Options options;
    c.Fault(options);
    Start(options);
    const TRun run = Ctl({"upgrade", file.Path});
    EXPECT_EQ(run.Code, c.Code) << run.Err;
    EXPECT_NE(run.Err.find(c.Says), std::string::npos) << run.Err;
    EXPECT_EQ(Count(FrameKind::Block), 2u) << c.Says;
    EXPECT_TRUE(run.Out.empty()) << run.Out;
  }
}

TEST_F(Z500CtlTest, ASilentReceiverGivesTheTimeOutCodeInTime) {
  z500sim::Options options;
  options.silent = true;
  Start(options);
  const TTempFile file("z500.088.rxf", std::vector<uint8_t>(16, 1));
  struct Case {
    std::vector<std::string> Args;
    double AtLeast, AtMost;  // seconds, the 0.7 s of quieting included
  } cases[] = {
      {{"--timeout", "1", "params"}, 1.7, 3.5},
      {{"--timeout", "0.5", "files"}, 1.2, 3},
      {{"params", "set", "10", "10"}, 5.7, 8},
      {{"upgrade", file.Path, "--handshake-timeout", "1"}, 1.7, 3.5},
      {{"reset-baud"}, 15.7, 18.5},
  };
  for (const auto& c : cases) {
    const TRun run = Ctl(c.Args);
    EXPECT_EQ(run.Code, Z500Ctl::xTimeout) << run.Err;
    EXPECT_NE(run.Err.find("no answer from the receiver"), std::string::npos) << run.Err;
    EXPECT_GE(run.Seconds, c.AtLeast) << run.Err;
    EXPECT_LE(run.Seconds, c.AtMost) << run.Err;
    EXPECT_TRUE(run.Out.empty()) << run.Out;
  }
}

TEST_F(Z500CtlTest, CommandsWithoutAnswerAreDoneWhenSent) {
  Start();
  struct Case {
    const char* Command;
    FrameKind Kind;
    size_t Frames;  // two unlogs come with every opening
  } cases[] = {{"sound", FrameKind::Sound, 1}, {"unlog", FrameKind::Unlog, 2 + 2 + 1}};
  for (const auto& c : cases) {
    const TRun run = Ctl({c.Command});
    EXPECT_EQ(run.Code, 0) << run.Err;
    EXPECT_TRUE(Sim->WaitForFrames(c.Kind, c.Frames, 2s)) << c.Command;
  }
  EXPECT_TRUE(Sim->SoundOn());
  EXPECT_FALSE(Sim->Logging());
}

TEST_F(Z500CtlTest, APortThatCannotOpenHasItsOwnCode) {
  Path = "/nonexistent/ttyZ500";
  const TRun run = Ctl({"params"});
  EXPECT_EQ(run.Code, Z500Ctl::xPort);
  EXPECT_NE(run.Err.find("cannot open /nonexistent/ttyZ500"), std::string::npos) << run.Err;
}

TEST(NameText, PrintedNamesComeBackAsTheirBytes) {
  struct Case {
    std::string Arg;
    std::string Name;  // the 8 bytes, or "" for refused
  } cases[] = {
      {"ABCD1234.XYZ", "ABCD1234"},     {"AB      .TXT", "AB      "}, {"AB.TXT", "AB      "},
      {"AB", "AB      "},               {"A.B     .TX ", "A.B     "}, {"\\xc4\\xE3.x", "\xC4\xE3      "},
      {"a\\\\b", "a\\b     "},           {"", ""},                     {"\\x4", ""},
      {"\\q", ""},                      {"ABCDEFGHI", ""},            {".TXT", ""},
      {"caf\xC3\xA9", ""},
  };
  for (const auto& c : cases) {
    const auto name = Z500Ctl::NameArgument(c.Arg);
    if (c.Name.empty()) {
      EXPECT_FALSE(name) << c.Arg;
    } else {
      ASSERT_TRUE(name) << c.Arg;
      EXPECT_EQ(std::string(name->begin(), name->end()), c.Name) << c.Arg;
    }
  }
  // Every byte value survives printing and reading back.
  std::vector<uint8_t> all(256);
  for (int b = 0; b < 256; ++b) all[b] = static_cast<uint8_t>(b);
  const auto back = Z500Ctl::UnescapeBytes(Z500Ctl::EscapeBytes(all));
  ASSERT_TRUE(back);
  EXPECT_EQ(std::vector<uint8_t>(back->begin(), back->end()), all);
}

TEST(Z500CtlHelp, HelpListsEveryExitCodeAndACommandIsRequired) {
  const char* help[] = {"z500ctl", "--help"};
  std::ostringstream out, err;
  EXPECT_EQ(Z500Ctl::Run(2, help, out, err, false), 0);
  for (int code = Z500Ctl::xOk; code <= Z500Ctl::xNotDone; ++code)
    EXPECT_NE(out.str().find("\n  " + std::to_string(code) + " "), std::string::npos) << code;
  const char* bare[] = {"z500ctl"};
  EXPECT_EQ(Z500Ctl::Run(1, bare, out, err, false), Z500Ctl::xUsage);
}
