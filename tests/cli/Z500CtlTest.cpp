// z500ctl end to end: its whole program logic run in-process against a
// simulated receiver on a pty, paced at 19200 baud, with the exit code and
// both output streams checked, and the receiver's state compared afterwards.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <numeric>
#include <optional>
#include <sstream>
#include <thread>

#include "Files.h"
#include "NameText.h"
#include "PortState.h"
#include "SimulatedReceiver.h"
#include "Z500Ctl.h"

using namespace std::chrono_literals;
using z500sim::FrameKind;

extern char** environ;

namespace {

struct TRun { int Code; std::string Out, Err; double Seconds; };

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class Z500CtlTest : public ::testing::Test {
protected:
  using TSetup = std::function<void(z500sim::Options&)>;
  ~Z500CtlTest() override { std::filesystem::remove_all(Dir); }
  void Start(const TSetup& setup = {}) {
    z500sim::Options options;
    options.formatTimeMs = 300;
    if (setup) setup(options);
    Receiver = std::make_unique<SimulatedReceiver>(options);
    Sim = Receiver->Sim.get();
    Path = Receiver->Path;
  }
  // Runs z500ctl; its output goes to `to` when given.
  TRun Ctl(std::vector<std::string> args, std::ostream* to = nullptr) {
    args.insert(args.begin(), {"z500ctl", "--port", Path});
    std::vector<const char*> argv;
    for (auto& a : args) argv.push_back(a.c_str());
    std::ostringstream out, err;
    const auto start = std::chrono::steady_clock::now();
    const int code = Z500Ctl::Run(static_cast<int>(argv.size()), argv.data(), to ? *to : out, err, false);
    return {code, out.str(), err.str(), std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count()};
  }
  size_t Count(FrameKind kind) const { return Receiver->FramesOf(kind).size(); }
  // A file in the test's own folder, removed with the fixture.
  std::string Write(const std::string& name, const std::vector<uint8_t>& bytes) {
    std::ofstream(Dir + "/" + name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return Dir + "/" + name;
  }

  std::unique_ptr<SimulatedReceiver> Receiver;
  z500sim::Simulator* Sim = nullptr;
  std::string Path, Dir = ::mkdtemp(std::string("/tmp/z500ctl-test-XXXXXX").data());
};

}  // namespace

TEST_F(Z500CtlTest, ParamsSetThenParamsReadsBackWhatWasSet) {
  Start();
  struct Case { std::string Interval, Cutoff; int I, C; } cases[] = {{"60", "0", 60, 0}, {"", "", 5, 12}, {"07", "89", 7, 89}};
  for (const auto& c : cases) {
    const TRun set = Ctl({"params", "set", c.Interval, c.Cutoff}), get = Ctl({"params"});
    const std::string want = "interval " + std::to_string(c.I) + "\ncutoff " + std::to_string(c.C) + "\n";
    EXPECT_EQ(set.Code + get.Code, 0) << want << set.Err << get.Err;
    EXPECT_EQ(set.Out + get.Out, want + want);
    EXPECT_EQ(std::pair(int(Sim->Interval()), int(Sim->Cutoff())), std::pair(c.I, c.C));
  }
}

TEST_F(Z500CtlTest, RefusalsComeBeforeAnythingIsSent) {
  Start();
  const std::string empty = Write("empty.088.rxf", {});
  // Not regular files: a FIFO without a writer would hold z500ctl in open().
  const std::string fifo = Dir + "/fifo.088.rxf", folder = Dir + "/folder.088.rxf", huge = Write("huge.088.rxf", {});
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::filesystem::create_directory(folder);
  std::filesystem::resize_file(huge, uint64_t{1} << 31);  // sparse: no disk used
  struct Case { std::vector<std::string> Args; int Code; std::string Says; } cases[] = {
      {{"format"}, Z500Ctl::xUsage, "add --yes"},
      {{"delete", "A\\x4"}, Z500Ctl::xUsage, "not a file name"},
      {{"delete", "A\nB"}, Z500Ctl::xUsage, "'A\\x0aB' is not a file name"},  // still one line
      {{"delete", "AB.TEXT"}, Z500Ctl::xUsage, "not a file name"},  // no listed extension is longer than 3
      {{"upgrade", "x.088.rxf", "--handshake-timeout", "inf"}, Z500Ctl::xUsage, "--handshake-timeout"},
      {{"--timeout", "1e20", "params"}, Z500Ctl::xUsage, "--timeout"},  // beyond what a deadline holds
      {{"upgrade", empty, "--handshake-timeout", "1e300"}, Z500Ctl::xUsage, "--handshake-timeout"},
      {{"upgrade", empty}, Z500Ctl::xFile, "is empty"},
      {{"upgrade", Dir + "/missing.088.rxf"}, Z500Ctl::xFile, "cannot open"},
      {{"upgrade", Dir + "/firmware.bin"}, Z500Ctl::xFile, "no .rxf"},
      {{"upgrade", fifo}, Z500Ctl::xFile, fifo + " is not a regular file"},
      {{"upgrade", folder}, Z500Ctl::xFile, folder + " is a directory"},
      {{"upgrade", "/dev/zero/.088.rxf"}, Z500Ctl::xFile, "cannot open"},
      {{"upgrade", huge}, Z500Ctl::xFile, "too large"},
  };
  for (const auto& c : cases) {
    const TRun run = Ctl(c.Args);
    EXPECT_EQ(run.Code, c.Code) << c.Says << ": " << run.Err;
    EXPECT_NE(run.Err.find(c.Says), std::string::npos) << run.Err;
    EXPECT_EQ(Lines(run.Err).size(), 1u) << run.Err;
  }
  EXPECT_TRUE(Sim->Frames().empty()) << "the port was never opened";

}

// Each refused argument is named with what is wrong with it, on one line.
TEST_F(Z500CtlTest, ArgumentMessagesSayWhatIsWrongWithWhatWasTyped) {
  Start();
  const std::string seconds = "; give a value above 0 and at most 31536000";
  struct Case { std::vector<std::string> Args; std::string Says; } cases[] = {
      {{"params", "set", "abc", "10"}, "interval 'abc' is not a whole number; give 0 to 60 seconds"},
      {{"params", "set", "5.5", "10"}, "interval '5.5' is not a whole number; give 0 to 60 seconds"},
      {{"params", "set", "010", "10"}, "interval '010': at most two digits, no leading zeros; give 0 to 60 seconds"},
      {{"params", "set", "61", "12"}, "interval '61' is above 60 seconds"},
      {{"params", "set", "0061", "12"}, "interval '0061' is above 60 seconds"},
      {{"params", "set", "5", "90"}, "cut-off angle '90' is above 89 degrees"},
      {{"params", "set", "5", "5a"}, "cut-off angle '5a' is not a whole number; give 0 to 89 degrees"},
      {{"frobnicate"}, "unknown command 'frobnicate' (see --help)"},
      {{"--timeout", "3", "frobnicate"}, "unknown command 'frobnicate' (see --help)"},
      {{}, "A subcommand is required (see --help)"},
      {{"--timeout", "0", "params"}, "--timeout: '0' is not above 0 seconds" + seconds},
      {{"--timeout", "-1", "params"}, "--timeout: '-1' is not above 0 seconds" + seconds},
      {{"--timeout", "abc", "params"}, "--timeout: 'abc' is not a number of seconds" + seconds},
      {{"--timeout", "nan", "params"}, "--timeout: 'nan' is not a number of seconds" + seconds},
      {{"--timeout", "1e300", "params"}, "--timeout: '1e300' is above 31536000 seconds (a year)"},
      {{"upgrade", "x.088.rxf", "--handshake-timeout", "0"}, "--handshake-timeout: '0' is not above 0 seconds" + seconds},
  };
  for (const auto& c : cases) {
    const TRun run = Ctl(c.Args);
    EXPECT_EQ(run.Code, Z500Ctl::xUsage) << c.Says;
    EXPECT_EQ(run.Err, "z500ctl: " + c.Says + "\n");
  }
  EXPECT_TRUE(Sim->Frames().empty()) << "the port was never opened";
}

// Output that cannot be written (a full disk) is a failure, not success.
TEST_F(Z500CtlTest, OutputThatCannotBeWrittenEndsWithItsOwnCode) {
  // Takes a little, as a file's buffer does, and fails when flushed.
  struct TFullDisk : std::streambuf {
    char Buffer[4096];
    TFullDisk() { setp(Buffer, Buffer + sizeof Buffer); }
    int overflow(int) override { return traits_type::eof(); }
    int sync() override { return -1; }
  };
  Start([](auto& o) { o.files = 3; });
  for (const std::vector<std::string>& args : {std::vector<std::string>{"params"}, {"files"}, {"files", "--json"}, {"--help"}}) {
    TFullDisk full;
    std::ostream out(&full);
    const TRun run = Ctl(args, &out);
    EXPECT_EQ(run.Code, Z500Ctl::xOutput) << args[0];
    EXPECT_EQ(run.Err.rfind("z500ctl: standard output could not be written", 0), 0u) << run.Err;
    EXPECT_EQ(Lines(run.Err).size(), 1u) << run.Err;
  }
  // The program itself, its standard output on a full device.
  int errPipe[2] = {-1, -1};
  ASSERT_EQ(::pipe2(errPipe, O_CLOEXEC), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/full", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
  std::string program = Z500CTL_PATH, port = "--port", timeout = "--timeout", seconds = "5", params = "params";
  char* argv[] = {program.data(), port.data(), Path.data(), timeout.data(), seconds.data(), params.data(), nullptr};
  pid_t pid = -1;
  ASSERT_EQ(::posix_spawn(&pid, argv[0], &actions, nullptr, argv, environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  ::close(errPipe[1]);
  // Its own time-out ends it within seconds; the deadline only guards the test.
  const int ended = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  EXPECT_GE(ended, 0) << "without it the wait below only ends at its deadline";
  pollfd exited{ended, POLLIN, 0};
  const bool inTime = ::poll(&exited, 1, 30000) == 1;
  if (!inTime) ::kill(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
  ::close(ended);
  char said[512] = {};
  const ssize_t n = ::read(errPipe[0], said, sizeof said - 1);
  ::close(errPipe[0]);
  ASSERT_TRUE(inTime);
  EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, Z500Ctl::xOutput) << said;
  EXPECT_EQ(std::string(said, n > 0 ? static_cast<size_t>(n) : 0),
            "z500ctl: standard output could not be written (No space left on device)\n");
  EXPECT_EQ(Count(FrameKind::ReadParameters), 2u) << "both runs of params asked";
}

// A port that cannot open has its own code, and the system's reason; the
// reasons the user can remedy come with what to do.
TEST_F(Z500CtlTest, APortThatCannotOpenSaysWhyAndWhatToDo) {
  Start();
  // Held by another program that locks it as serial programs do (picocom):
  // here this one, named by its command name and process id.
  const int holder = ::open(Path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
  std::string self;
  std::getline(std::ifstream("/proc/self/comm"), self);
  // A read-only sysfs attribute: opening it for writing is refused even to root.
  const std::string noPermission = "/sys/class/tty/tty0/dev";
  struct Case { std::string Port, Reason, Advice; } cases[] = {
      {"/nonexistent/ttyZ500", "(No such file or directory)", ""},
      {noPermission, "(Permission denied)", "; your user may not use the device: add it to the dialout group"},
      {Path, "(Device or resource busy)",
       "; another program has the port open: close it first (it is " + self + ", process " +
           std::to_string(::getpid()) + ")"},
  };
  for (const auto& c : cases) {
    if (c.Port == noPermission && !std::filesystem::exists(noPermission)) continue;
    Path = c.Port;
    const TRun run = Ctl({"params"});
    EXPECT_EQ(run.Code, Z500Ctl::xPort) << run.Err;
    EXPECT_EQ(run.Err.rfind("z500ctl: cannot open " + c.Port + ": Cannot open COM port " + c.Reason + c.Advice, 0), 0u)
        << run.Err;
    EXPECT_EQ(Lines(run.Err).size(), 1u) << run.Err;
  }
  ::close(holder);
  EXPECT_TRUE(Sim->Frames().empty());
}

TEST_F(Z500CtlTest, FilesListsEveryPageAsTextAndJson) {
  for (uint32_t count : {0u, 20u}) {
    SCOPED_TRACE(count);
    Start([&](auto& o) { o.files = count; });
    const auto files = Sim->Files();
    const TRun text = Ctl({"files"}), json = Ctl({"files", "--json"});
    ASSERT_EQ(text.Code + json.Code, 0) << text.Err << json.Err;
    const auto lines = Lines(text.Out);
    ASSERT_EQ(lines.size(), count);
    for (size_t i = 0; i < count; ++i)
      EXPECT_EQ(lines[i].substr(0, 17), (i < 9 ? "  " : " ") + std::to_string(i + 1) + "  " + files[i].Name() + "." +
                                            files[i].Extension());
    // 8 entries a page: 20 take three requests each listing, the last from entry 16; none takes one.
    const auto asked = Receiver->FramesOf(FrameKind::Directory);
    ASSERT_EQ(asked.size(), count ? 6u : 2u);
    EXPECT_EQ(asked.back().bytes[7], count ? 16 : 0);
    size_t entries = 0;
    for (size_t at = 0; (at = json.Out.find("\"name_hex\"", at)) != std::string::npos; ++at) ++entries;
    EXPECT_EQ(entries, count);
    EXPECT_EQ(json.Out == "[]\n", count == 0) << json.Out;
    if (count == 0) continue;
    const auto& last = files.back();
    const std::span<const uint8_t> bytes(last.bytes);
    EXPECT_NE(json.Out.find("{\"number\": 20, \"name\": \"" + last.Name() + "." + last.Extension() + "\", \"name_hex\": \"" +
                            Z500Ctl::Hex(bytes.first(8)) + "\", \"extension_hex\": \"" +
                            Z500Ctl::Hex(bytes.subspan(8, 3)) + "\", \"size\": " + std::to_string(last.Size()) + ","),
              std::string::npos)
        << json.Out;
  }
}

TEST_F(Z500CtlTest, DeleteTakesANameWithHighBytesAsPrintedAndFormatNeedsYes) {
  Start();
  const z500sim::FileTime when{2007, 5, 3, 14, 5, 0};
  Sim->SetFiles({z500sim::MakeEntry("BJ010611", "GNS", 5000, when),
                 z500sim::MakeEntry("\xC4\xE3\xBA\xC3" "A\\", "\xB9N", 1023, when),
                 z500sim::MakeEntry("BJ010612", "GNS", 2048, when)});
  const std::string printed = "\\xc4\\xe3\\xba\\xc3A\\\\  .\\xb9N ", json = Ctl({"files", "--json"}).Out;
  const auto lines = Lines(Ctl({"files"}).Out);
  ASSERT_EQ(lines.size(), 3u);
  ASSERT_EQ(lines[1].substr(5, printed.size()), printed) << lines[1];
  EXPECT_NE(json.find("\"name_hex\": \"c4e3bac3415c2020\", \"extension_hex\": \"b94e20\""), std::string::npos) << json;

  // One name missing: nothing is deleted.
  EXPECT_EQ(Ctl({"delete", "BJ010611.GNS", "NOSUCH.GNS"}).Code, Z500Ctl::xNotFound);
  EXPECT_EQ(Count(FrameKind::Delete), 0u);
  // The simulator deletes only an entry whose 8 name bytes match exactly.
  const TRun del = Ctl({"delete", printed});
  EXPECT_EQ(del.Code, 0) << del.Err;
  EXPECT_EQ(del.Out, "deleted \\xc4\\xe3\\xba\\xc3A\\\\  \n");
  EXPECT_EQ(Count(FrameKind::Delete), 1u);
  const auto left = Sim->Files();
  ASSERT_EQ(left.size(), 2u);
  EXPECT_EQ(left[0].Name() + left[1].Name(), "BJ010611BJ010612");

  // Format: refused without --yes, done once the receiver answers with it.
  EXPECT_EQ(Ctl({"format"}).Code, Z500Ctl::xUsage);
  EXPECT_EQ(Sim->Files().size(), 2u);
  const TRun format = Ctl({"format", "--yes"});
  EXPECT_EQ(format.Code, 0) << format.Err;
  EXPECT_EQ(Count(FrameKind::Format), 1u);
  EXPECT_TRUE(Sim->Files().empty());
}

// The delete request carries only the name: an extension given must be the
// listed file's, or nothing is deleted.
TEST_F(Z500CtlTest, DeleteWithAnExtensionDeletesOnlyAFileWithThatExtension) {
  Start();
  const z500sim::FileTime when{2026, 3, 1, 6, 41, 12};
  Sim->SetFiles({z500sim::MakeEntry("BJ010601", "GNS", 5000, when), z500sim::MakeEntry("AB", "T", 10, when)});
  struct Case { std::vector<std::string> Names; std::string Says; } refused[] = {
      {{"BJ010601.XYZ"}, "no file named BJ010601.XYZ on the receiver"},
      {{"BJ010601.GN"}, "no file named BJ010601.GN  on the receiver"},
      {{"BJ010601.GNS", "BJ010601.gns"}, "no file named BJ010601.gns on the receiver"},
      {{"AB.TXT"}, "no file named AB      .TXT on the receiver"},
  };
  for (const auto& c : refused) {
    std::vector<std::string> args = c.Names;
    args.insert(args.begin(), "delete");
    const TRun run = Ctl(args);
    EXPECT_EQ(run.Code, Z500Ctl::xNotFound) << c.Says;
    EXPECT_EQ(run.Err, "z500ctl: " + c.Says + "; nothing was deleted\n");
  }
  EXPECT_EQ(Count(FrameKind::Delete), 0u);
  ASSERT_EQ(Sim->Files().size(), 2u);
  // A name that two files share: the receiver would delete both.
  Sim->SetFiles({z500sim::MakeEntry("BJ010601", "GNS", 5000, when), z500sim::MakeEntry("BJ010601", "XYZ", 9, when),
                 z500sim::MakeEntry("AB", "T", 10, when)});
  const TRun shared = Ctl({"delete", "BJ010601.GNS"});
  EXPECT_EQ(shared.Code, Z500Ctl::xUsage);
  EXPECT_EQ(shared.Err, "z500ctl: BJ010601.GNS cannot be deleted alone: the receiver deletes by name, and "
                        "BJ010601.XYZ has the same name (give BJ010601 to delete both); nothing was deleted\n");
  EXPECT_EQ(Count(FrameKind::Delete), 0u);
  Sim->SetFiles({z500sim::MakeEntry("BJ010601", "GNS", 5000, when), z500sim::MakeEntry("AB", "T", 10, when)});
  // The listed extension, blank padding left off or not, and a bare name.
  const TRun del = Ctl({"delete", "BJ010601.GNS", "AB.T", "AB", "AB      .T  "});
  EXPECT_EQ(del.Code, 0) << del.Err;
  EXPECT_EQ(del.Out, "deleted BJ010601\ndeleted AB      \n");
  EXPECT_TRUE(Sim->Files().empty());
}

// A date or time that does not exist (an unset entry: every bit set, or 0)
// is null in JSON, with the raw fields kept; the text shows them as the
// window does.
TEST_F(Z500CtlTest, FilesGivesNoTimeForADateThatDoesNotExist) {
  Start();
  struct Case { uint16_t Date, Time; std::string Iso, Text; } cases[] = {
      {0xFFFF, 0xFFFF, "null", "2107年15月31日31时63分"},
      {0, 0, "null", "1980年0月0日0时0分"},
      {0x36A3, 0x70A7, "\"2007-05-03T14:05:14\"", "2007年5月3日14时5分"},
  };
  std::vector<z500sim::DirEntry> files;
  for (const auto& c : cases) {
    files.push_back(z500sim::MakeEntry("F" + std::to_string(files.size()), "GNS", 1, {}));
    auto& b = files.back().bytes;
    b[14] = c.Time & 0xFF, b[15] = c.Time >> 8, b[16] = c.Date & 0xFF, b[17] = c.Date >> 8;
  }
  Sim->SetFiles(files);
  const TRun json = Ctl({"files", "--json"}), text = Ctl({"files"});
  ASSERT_EQ(json.Code + text.Code, 0) << json.Err << text.Err;
  const auto lines = Lines(text.Out);
  ASSERT_EQ(lines.size(), std::size(cases));
  for (size_t i = 0; i < std::size(cases); ++i) {
    const auto& c = cases[i];
    EXPECT_NE(json.Out.find("\"created\": \"" + c.Text + "\", \"created_iso\": " + c.Iso + ", \"date_raw\": " +
                            std::to_string(c.Date) + ", \"time_raw\": " + std::to_string(c.Time) + "}"),
              std::string::npos)
        << c.Text << "\n" << json.Out;
    EXPECT_TRUE(lines[i].ends_with("  " + c.Text)) << lines[i];
  }
}

TEST_F(Z500CtlTest, UpgradeSendsTheImageTheReceiverThenHolds) {
  Start();
  std::vector<uint8_t> image(1030);  // 8 full blocks and a padded one of 6 bytes
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7 + 3);
  const TRun run = Ctl({"upgrade", Write("z500.088.rxf", image), "--handshake-timeout", "5"});
  ASSERT_EQ(run.Code, 0) << run.Err;
  EXPECT_NE(run.Out.find("upgraded 1030 bytes in "), std::string::npos) << run.Out;
  EXPECT_EQ(Count(FrameKind::Block), 9u);
  const auto check = z500sim::CompareFirmware(image, Sim->Firmware());
  EXPECT_TRUE(check.match) << check.report;

  const TRun mismatch = Ctl({"upgrade", Write("z500.087.rxf", image), "--handshake-timeout", "5"});
  EXPECT_EQ(mismatch.Code, Z500Ctl::xVersion) << mismatch.Err;
  EXPECT_EQ(Count(FrameKind::Block), 9u) << "no block after a version mismatch";

  // A name is bytes: blanks and bytes that are not UTF-8 are no obstacle.
  image.resize(100);
  const TRun odd = Ctl({"upgrade", Write("new \xe9\xff fw.088.rxf", image), "--handshake-timeout", "5"});
  ASSERT_EQ(odd.Code, 0) << odd.Err;
  EXPECT_EQ(Sim->Firmware(), image);
}

// The file changes on disk while it is sent (a copy still under way, an
// editor saving it): no block of the changed file goes out, and the upgrade
// fails rather than reporting success.
TEST_F(Z500CtlTest, AFileThatChangesDuringTheUpgradeFails) {
  struct Case { size_t After; uintmax_t NewSize; size_t Blocks; std::string Says; } cases[] = {
      {1, 200, 1, "failed or ended after 128 of its 300 bytes"},
      {2, 299, 2, "failed or ended after 256 of its 300 bytes"},  // inside the padded last block
      {3, 400, 3, "grew beyond its 300 bytes"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Says);
    // A slow answer leaves ample time to change the file before the next read.
    Start([](auto& o) { o.replyDelayMs = 300; });
    const std::string file = Write("z500.088.rxf", std::vector<uint8_t>(300, 0x5A));
    std::thread change([&] {
      if (Sim->WaitForFrames(FrameKind::Block, c.After, 10s)) std::filesystem::resize_file(file, c.NewSize);
    });
    const TRun run = Ctl({"upgrade", file});
    change.join();
    EXPECT_EQ(run.Code, Z500Ctl::xFile) << run.Err;
    EXPECT_NE(run.Err.find(c.Says), std::string::npos) << run.Err;
    EXPECT_EQ(Count(FrameKind::Block), c.Blocks);
    EXPECT_TRUE(run.Out.empty()) << run.Out;
  }
}

TEST_F(Z500CtlTest, AFailedBlockEndsTheUpgradeWithItsCode) {
  const std::string file = Write("z500.088.rxf", std::vector<uint8_t>(600, 0x5A));
  // The second block fails; the handshake's answer is the first, so the third answer is that block's.
  struct Case { TSetup Fault; int Code; std::string Says; } cases[] = {
      {[](auto& o) { o.blockResult = 2, o.blockResultAt = 2; }, Z500Ctl::xRefused, "block at 0x40008080 with error 2"},
      {[](auto& o) { o.badAddressAt = 2; }, Z500Ctl::xRefused, "block for 0x40008080 elsewhere"},
      {[](auto& o) { o.dropAnswers = {3}; }, Z500Ctl::xTimeout, "block at 0x40008080 within 5 s"},
  };
  for (const auto& c : cases) {
    Start(c.Fault);
    const TRun run = Ctl({"upgrade", file});
    EXPECT_EQ(run.Code, c.Code) << run.Err;
    EXPECT_NE(run.Err.find(c.Says), std::string::npos) << run.Err;
    EXPECT_EQ(Count(FrameKind::Block), 2u) << c.Says;
    EXPECT_TRUE(run.Out.empty()) << run.Out;
  }
}

TEST_F(Z500CtlTest, ASilentReceiverGivesTheTimeOutCodeInTime) {
  Start([](auto& o) { o.silent = true; });
  struct Case { std::vector<std::string> Args; double AtLeast, AtMost; } cases[] = {
      // Seconds, the 0.7 s of quieting the port included.
      {{"--timeout", "1", "params"}, 1.7, 3.5},
      {{"params", "set", "10", "10"}, 5.7, 8},  // the default time-out
      {{"upgrade", Write("z500.088.rxf", std::vector<uint8_t>(16, 1)), "--handshake-timeout", "1"}, 1.7, 3.5},
      {{"reset-baud"}, 15.7, 18.5},  // its fixed limit
  };
  for (const auto& c : cases) {
    const TRun run = Ctl(c.Args);
    EXPECT_EQ(run.Code, Z500Ctl::xTimeout) << run.Err;
    EXPECT_NE(run.Err.find("no answer from the receiver"), std::string::npos) << run.Err;
    EXPECT_TRUE(run.Seconds >= c.AtLeast && run.Seconds <= c.AtMost) << run.Seconds << " s: " << run.Err;
    EXPECT_TRUE(run.Out.empty()) << run.Out;
  }
}

// A cable pulled during the raw waits ends them at once with the line's code,
// not after their 15 s and 60 s.
TEST_F(Z500CtlTest, APulledCableEndsTheRawWaitsAtOnce) {
  for (const std::vector<std::string>& args : {std::vector<std::string>{"reset-baud"}, {"format", "--yes"}}) {
    Start([](auto& o) { o.silent = true; });
    std::thread pull([this] {
      std::this_thread::sleep_for(1500ms);
      Sim->Stop();
    });
    const TRun run = Ctl(args);
    pull.join();
    EXPECT_EQ(run.Code, Z500Ctl::xLine) << args[0] << ": " << run.Err;
    EXPECT_LT(run.Seconds, 5.0) << args[0];
  }
}

TEST_F(Z500CtlTest, CommandsWithoutAnswerAreDoneWhenSent) {
  Start();
  EXPECT_EQ(Ctl({"sound"}).Code, 0);
  EXPECT_EQ(Ctl({"unlog"}).Code, 0);
  EXPECT_TRUE(Sim->WaitForFrames(FrameKind::Sound, 1, 2s));
  EXPECT_TRUE(Sim->WaitForFrames(FrameKind::Unlog, 2 + 2 + 1, 2s));  // two unlogs come with every opening
  EXPECT_TRUE(Sim->SoundOn());
  EXPECT_FALSE(Sim->Logging());
}

// ---- Directories that make no sense or do not end, and firmware named for
// other hardware.

// A listing that stops short fails and prints no list: a receiver that
// answers every request with its first page, a page cut by a pause in the
// line each time it is asked for, a page that never comes, a line that
// echoes every byte with no receiver behind it (whose echoed request is no
// page).
TEST_F(Z500CtlTest, ADirectoryThatStopsShortFailsWithoutAList) {
  // Requests: how many directory requests the receiver saw (none through the echo).
  struct Case { const char* Name; TSetup Fault; std::vector<std::string> Args; int Code; std::string Says; size_t Requests; }
  cases[] = {
      {"repeated page", [](auto& o) { o.files = 20, o.repeatPage = true; }, {"files"}, Z500Ctl::xNotDone,
       "the directory request for entry 8 with a page it had sent before", 2},
      {"cut page", [](auto& o) { o.files = 20, o.splitAnswers = true; }, {"files", "--json"}, Z500Ctl::xNotDone,
       "the directory request for entry 0 came cut short each time (126 of its 256 bytes",
       1 + Z500::MaxCutPageRetries},
      {"lost page", [](auto& o) { o.files = 20, o.dropAnswers = {2}; }, {"--timeout", "1", "files"},
       Z500Ctl::xTimeout, "the directory request for entry 8 within 1 s", 2},
      {"echoing line", [](auto& o) { o.echo = true; }, {"files", "--json"}, -1, "", 0},  // -1: any failure
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    // Unpaced: a sender held up on a loaded machine would cut a page in two.
    Start([&](auto& o) { o.baud = 0, c.Fault(o); });
    const TRun run = Ctl(c.Args);
    if (c.Code < 0)
      EXPECT_NE(run.Code, 0) << run.Err;
    else
      EXPECT_EQ(run.Code, c.Code) << run.Err;
    EXPECT_NE(run.Err.find(c.Says), std::string::npos) << run.Err;
    EXPECT_TRUE(run.Out.empty()) << run.Out;
    EXPECT_EQ(Count(FrameKind::Directory), c.Requests);
    EXPECT_LT(run.Seconds, 8.0);  // the quieting, and four cut pages or the one-second wait at most
  }
}

TEST_F(Z500CtlTest, TheFirmwareVersionIsTheFileNamesAndMustFitAByte) {
  Start();  // a receiver of hardware version 88
  std::filesystem::create_directories(Dir + "/z500.088.rxf-archive");
  std::filesystem::create_directories(Dir + "/old.087.rxf.d");
  const std::vector<uint8_t> image(200, 0x5A);
  struct Case { std::string File; int Code; std::string Says; bool Called; } cases[] = {
      {"z500.088.rxf-archive/z500.087.rxf", Z500Ctl::xVersion, "the file is for 87", true},
      {"fw.344.rxf", Z500Ctl::xVersion, "named for hardware version 344, which no receiver has", false},
      {"old.087.rxf.d/z500.088.rxf", 0, "", true},
  };
  for (const auto& c : cases) {
    const size_t before = Count(FrameKind::Handshake);
    const TRun run = Ctl({"upgrade", Write(c.File, image), "--handshake-timeout", "5"});
    EXPECT_EQ(run.Code, c.Code) << c.File << ": " << run.Err;
    EXPECT_NE(run.Err.find(c.Says), std::string::npos) << run.Err;
    EXPECT_EQ(Count(FrameKind::Handshake) > before, c.Called) << c.File;
  }
  EXPECT_EQ(Count(FrameKind::Block), 2u);  // only the last file went in
  EXPECT_EQ(Sim->Firmware(), image);
}

TEST(NameText, PrintedNamesComeBackAsTheirBytes) {
  // Name: the 8 bytes, or "" for refused; Extension: the 3 bytes, "-" for none given.
  struct Case { std::string Arg, Name, Extension; } cases[] = {
      {"ABCD1234.XYZ", "ABCD1234", "XYZ"}, {"AB      .TXT", "AB      ", "TXT"}, {"AB.TXT", "AB      ", "TXT"},
      {"AB", "AB      ", "-"}, {"AB.T", "AB      ", "T  "}, {"AB.", "AB      ", "   "},
      {"A.B     .TX ", "A.B     ", "TX "}, {"\\xc4\\xE3.x", "\xC4\xE3      ", "x  "}, {"a\\\\b", "a\\b     ", "-"},
      {"", "", ""}, {"\\x4", "", ""}, {"\\q", "", ""}, {"ABCDEFGHI", "", ""}, {".TXT", "", ""},
      {"caf\xC3\xA9", "", ""}, {"AB.TEXT", "", ""},
  };
  for (const auto& c : cases) {
    const auto a = Z500Ctl::DeleteArgument(c.Arg);
    EXPECT_EQ(a ? std::string(a->Name.begin(), a->Name.end()) : "", c.Name) << c.Arg;
    if (a) {
      EXPECT_EQ(a->Extension ? std::string(a->Extension->begin(), a->Extension->end()) : "-", c.Extension) << c.Arg;
    }
  }
  // Every byte value survives printing and reading back.
  std::vector<uint8_t> all(256);
  std::iota(all.begin(), all.end(), 0);
  EXPECT_EQ(Z500Ctl::UnescapeBytes(Z500Ctl::EscapeBytes(all)), std::string(all.begin(), all.end()));
}

TEST(Z500CtlHelp, HelpListsEveryExitCodeAndACommandIsRequired) {
  const char* help[] = {"z500ctl", "--help"};
  std::ostringstream out, err;
  EXPECT_EQ(Z500Ctl::Run(2, help, out, err, false), 0);
  for (int code = Z500Ctl::xOk; code <= Z500Ctl::xOutput; ++code)
    EXPECT_NE(out.str().find("\n  " + std::to_string(code) + " "), std::string::npos) << code;
  const char* bare[] = {"z500ctl"};
  EXPECT_EQ(Z500Ctl::Run(1, bare, out, err, false), Z500Ctl::xUsage);
}

namespace {

// Waits up to `timeout` for child `pid` to end; its wait status, or nothing
// (then it is killed and reaped).
std::optional<int> WaitForExit(pid_t pid, std::chrono::milliseconds timeout) {
  const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  pollfd p{pidfd, POLLIN, 0};
  const bool ended = pidfd >= 0 && ::poll(&p, 1, static_cast<int>(timeout.count())) == 1;
  if (pidfd >= 0) ::close(pidfd);
  if (!ended) ::kill(pid, SIGKILL);
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid || !ended) return std::nullopt;
  return status;
}

struct TStopCase {
  const char* Name;
  std::vector<std::string> Args;
  FrameKind Waiting;  // the request it waits on when the signal comes
  int Signal;
};
const TStopCase StopCases[] = {
    {"files", {"--timeout", "60", "files"}, FrameKind::Directory, SIGTERM},
    {"reset-baud", {"reset-baud"}, FrameKind::SerialReset, SIGINT},
    {"quieting", {"--timeout", "60", "params"}, FrameKind::Unlog, SIGHUP},
};

}  // namespace

// Stopped by a signal while it waits on a silent receiver, z500ctl closes
// the port at once and ends with 128 + the signal; the next program gets
// the port straight away. In-process, through Run's interrupt.
TEST_F(Z500CtlTest, AnInterruptClosesThePortAndEndsWithTheSignalsCode) {
  for (const auto& c : StopCases) {
    SCOPED_TRACE(c.Name);
    Start([](auto& o) { o.silent = true; });
    Z500Ctl::TInterrupt interrupt;
    std::chrono::steady_clock::time_point raised;
    std::thread stop([&] {
      if (Sim->WaitForFrames(c.Waiting, 1, 10s)) raised = std::chrono::steady_clock::now();
      interrupt.Raise(c.Signal);
    });
    std::vector<std::string> args = c.Args;
    args.insert(args.begin(), {"z500ctl", "--port", Path});
    std::vector<const char*> argv;
    for (auto& a : args) argv.push_back(a.c_str());
    std::ostringstream out, err;
    const int code = Z500Ctl::Run(static_cast<int>(argv.size()), argv.data(), out, err, false, &interrupt);
    const auto ended = std::chrono::steady_clock::now();
    stop.join();
    const double late = std::chrono::duration<double>(ended - raised).count();
    EXPECT_EQ(code, 128 + c.Signal) << err.str();
    EXPECT_LT(late, 2.0);
    EXPECT_EQ(err.str().rfind("z500ctl: stopped by SIG", 0), 0u) << err.str();
    EXPECT_TRUE(out.str().empty()) << out.str();
    EXPECT_TRUE(PortIsFree(Path));
    EXPECT_EQ(Ctl({"sound"}).Code, 0) << "the port did not open again";
  }
}

// The program itself: the signals reach it from outside, and it exits as
// shells expect, the port closed.
TEST_F(Z500CtlTest, TheProgramStoppedBySIGTERMOrSIGINTExitsWith143Or130) {
  for (const auto& c : {StopCases[0], TStopCase{"files", {"--timeout", "60", "files"}, FrameKind::Directory, SIGINT}}) {
    SCOPED_TRACE(c.Signal);
    Start([](auto& o) { o.silent = true; });
    std::vector<std::string> args = c.Args;
    args.insert(args.begin(), {Z500CTL_PATH, "--port", Path});
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
      // As a shell starts it: the signals at their defaults (a background
      // job of a script would have SIGINT ignored, and z500ctl leaves it so).
      for (const int s : {SIGINT, SIGTERM, SIGHUP}) ::signal(s, SIG_DFL);
      sigset_t none;
      sigemptyset(&none);
      ::sigprocmask(SIG_SETMASK, &none, nullptr);
      const int null = ::open("/dev/null", O_WRONLY);
      ::dup2(null, STDOUT_FILENO);
      ::dup2(null, STDERR_FILENO);
      ::execv(Z500CTL_PATH, argv.data());
      ::_exit(127);
    }
    ASSERT_GT(pid, 0);
    const bool waiting = Sim->WaitForFrames(c.Waiting, 1, 20s);
    const auto sent = std::chrono::steady_clock::now();
    ::kill(pid, c.Signal);
    const auto status = WaitForExit(pid, 10s);
    const double late = std::chrono::duration<double>(std::chrono::steady_clock::now() - sent).count();
    ASSERT_TRUE(waiting) << "z500ctl never asked for the directory";
    ASSERT_TRUE(status) << "z500ctl did not end";
    EXPECT_TRUE(WIFEXITED(*status)) << "ended by the signal itself, not by closing the port";
    EXPECT_EQ(WEXITSTATUS(*status), 128 + c.Signal);
    EXPECT_LT(late, 2.0);
    EXPECT_TRUE(PortIsFree(Path)) << "the port stayed locked or marked";
  }
}

// ---- A line that echoes everything.

TEST_F(Z500CtlTest, ALineThatEchoesEndsWithTheLineCodeBeforeAnythingIsDone) {
  Start([](auto& o) { o.echo = true; });  // a loopback plug: no receiver
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"format", "--yes"}, {"reset-baud"}, {"files"}, {"files", "--json"}, {"params"}}) {
    const TRun run = Ctl(args);
    EXPECT_EQ(run.Code, Z500Ctl::xLine) << args[0] << ": " << run.Err;
    EXPECT_NE(run.Err.find("gives back every byte sent"), std::string::npos) << run.Err;
    EXPECT_TRUE(run.Out.empty()) << run.Out;
  }
}
