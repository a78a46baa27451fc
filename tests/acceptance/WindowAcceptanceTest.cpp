// A field day through the screen: the real z500-manager program on its own
// virtual X screen, a simulated receiver as COM1, and nothing but mouse
// clicks and keys at the places a user would press them. What the receiver
// got is checked on its side after each step.
//
// With ACCEPTANCE_SHOTS=<folder>, a picture of the window (and of any box
// over it) is saved there at each step; ACCEPTANCE_SCREEN=<file> names the
// picture of the whole screen taken at the end (by default
// acceptance-screen.png beside the test program).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <random>
#include <thread>

#include "PortState.h"
#include "SimulatedReceiver.h"
#include "XSession.h"

using namespace acceptance;
using namespace std::chrono_literals;
using z500sim::Bytes;
using z500sim::DirEntry;
using z500sim::FrameKind;

namespace {

const std::string kWindowTitle = "VarnexZ500静态接收机管理软件V1.0";
const std::string kMessageTitle = "Varnex Z500 静态接收机管理软件";  // the tool's plain message boxes

// The form's fixed layout: each control's group box origin plus its place in
// the group, and its size, in window coordinates.
struct Control {
  int left, top, width, height;
};
constexpr Control kChooser{8 + 16, 8 + 24, 65, 21};
constexpr Control kOpenButton{8 + 96, 8 + 16, 89, 41};
constexpr Control kChooseFile{8 + 120, 72 + 72, 105, 41};
constexpr Control kStartUpgrade{8 + 256, 72 + 72, 105, 41};
constexpr Control kInterval{8 + 80, 256 + 16, 57, 21};
constexpr Control kCutoff{8 + 80, 256 + 40, 57, 21};
constexpr Control kReadParameters{8 + 160, 256 + 16, 97, 41};
constexpr Control kSetParameters{8 + 280, 256 + 16, 97, 41};
constexpr Control kRefresh{8 + 40, 256 + 64, 113, 41};
constexpr Control kDelete{8 + 192, 256 + 64, 97, 41};
constexpr Control kFormat{8 + 328, 256 + 64, 121, 41};
// The file grid: a heading row, then rows of 20 pixels; the name column
// follows the 30-pixel number column.
constexpr Control kGrid{8 + 8, 256 + 112, 457, 257};
constexpr int kRowHeight = 20, kNumberColumn = 30;

// A firmware image of `size` bytes that looks like one: no pattern.
Bytes FirmwareImage(size_t size) {
  std::minstd_rand random(20260308);
  Bytes image(size);
  for (uint8_t& b : image) b = static_cast<uint8_t>(random() >> 7);
  return image;
}

bool Contains(const Bytes& haystack, const std::string& needle) {
  return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) != haystack.end();
}

// The kinds of `frames` in the order received, runs of one kind folded.
std::vector<std::string> KindRuns(const std::vector<z500sim::ReceivedFrame>& frames) {
  std::vector<std::string> runs;
  for (const auto& f : frames)
    if (runs.empty() || runs.back() != z500sim::KindName(f.kind)) runs.push_back(z500sim::KindName(f.kind));
  return runs;
}

std::vector<std::string> KindNames(std::initializer_list<FrameKind> kinds) {
  std::vector<std::string> names;
  for (FrameKind k : kinds) names.push_back(z500sim::KindName(k));
  return names;
}

class FieldDay : public ::testing::Test {
protected:
  void SetUp() override {
    if (!HaveProgram("Xvfb") || !HaveProgram("xdotool")) GTEST_SKIP() << "needs Xvfb and xdotool";
    z500sim::Options options;
    options.files = 20;
    options.interval = 15;  // not the boxes' defaults, to tell a read from none
    options.cutoff = 10;
    options.formatTimeMs = 500;
    receiver = std::make_unique<SimulatedReceiver>(options);

    screen = std::make_unique<XSession>(1024, 900);
    ASSERT_TRUE(screen->Started()) << "Xvfb did not start:\n" << screen->ServerLog();
    // For the tool, started below (this process has read its own settings).
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    ::setenv("QUARLCOMM_PORTS", ("COM1=" + receiver->Path).c_str(), 1);
    // A sanitizer build of the tool: libxkbcommon-x11, under Qt's xcb
    // platform, hands strndup() a length-bounded name without a terminating
    // NUL, which the strict string check reports although it is valid C.
    if (const char* asan = std::getenv("ASAN_OPTIONS"); asan && *asan) {
      ::setenv("ASAN_OPTIONS", (std::string(asan) + ":strict_string_checks=0").c_str(), 1);
      // A tool ended by a signal soon after its start leaves a message
      // buffer of libdbus (Qt's session bus, under way) behind: not ours.
      const std::filesystem::path suppressions = screen->Folder() / "lsan.supp";
      std::ofstream(suppressions) << "leak:libdbus-1.so\n";
      const char* lsan = std::getenv("LSAN_OPTIONS");
      ::setenv("LSAN_OPTIONS",
               ((lsan && *lsan ? std::string(lsan) + ":" : std::string()) + "suppressions=" + suppressions.string())
                   .c_str(),
               1);
    }
    // Started in the folder the firmware image is kept in, where the file
    // dialog opens.
    firmwareFolder = screen->Folder() / "firmware";
    std::filesystem::create_directories(firmwareFolder);
    tool = ChildProcess::Spawn({Z500_MANAGER_PATH}, firmwareFolder);
    ASSERT_GT(tool.Pid(), 0);
    window = screen->WaitForWindow(tool.Pid(), kWindowTitle, 30s);
    ASSERT_TRUE(window) << "the main window did not show";
    EXPECT_EQ(window->frame.width, 489);
    EXPECT_EQ(window->frame.height, 697);
  }

  // A failed run leaves a picture of the screen as it was, for the reader.
  void TearDown() override {
    if (!HasFailure() || !screen || !screen->Started()) return;
    const std::filesystem::path shot = std::filesystem::path(ACCEPTANCE_SCREEN_DEFAULT).replace_filename(
        "acceptance-failure.png");
    if (screen->Screenshot(shot)) std::cerr << "the screen at the failure: " << shot << "\n";
  }

  void ClickOn(const Control& c) {
    EXPECT_TRUE(screen->Click(window->frame.x + c.left + c.width / 2, window->frame.y + c.top + c.height / 2));
  }
  // Clicks the name cell of grid row `row` (1 is the first file).
  void ClickRow(int row) {
    EXPECT_TRUE(screen->Click(window->frame.x + kGrid.left + kNumberColumn + 60,
                              window->frame.y + kGrid.top + 1 + row * kRowHeight + kRowHeight / 2));
  }
  // Replaces the text of an edit box as a user would: click, select all, type.
  void TypeInto(const Control& box, const std::string& text) {
    ClickOn(box);
    EXPECT_TRUE(screen->Focus(window->id) && screen->Key("ctrl+a") && screen->Type(text));
  }

  // Waits for a box or dialog over the window: any new window of the tool,
  // or one with the title `title`.
  std::optional<Window> WaitForBox(const std::string& title = {}, std::chrono::milliseconds timeout = 15s) {
    return screen->WaitForWindow(tool.Pid(), title, timeout, {window->id});
  }
  // Answers a box with Return (its OK button) and waits until it closes.
  bool Answer(const Window& box) {
    return screen->Focus(box.id) && screen->Key("Return") && screen->WaitUntilGone(tool.Pid(), box.id, 10s);
  }
  // Presses `button`, pictures the question that comes up as `shot` and
  // confirms it; once the receiver has a frame of `kind`, answers the box
  // that reports the outcome.
  void ConfirmedStep(const Control& button, const std::string& shot, FrameKind kind, const std::string& what) {
    ClickOn(button);
    std::optional<Window> box = WaitForBox();
    ASSERT_TRUE(box) << "no " << what << " confirmation";
    Shot(shot);
    ASSERT_TRUE(Answer(*box));
    ASSERT_TRUE(WaitForFrames(kind, 1));
    box = WaitForBox(kMessageTitle);
    ASSERT_TRUE(box) << "no message after the " << what;
    ASSERT_TRUE(Answer(*box));
  }

  template <class Done>
  static bool WaitFor(Done done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(20ms);
    }
    return true;
  }
  size_t Count(FrameKind kind) const { return receiver->FramesOf(kind).size(); }
  bool WaitForFrames(FrameKind kind, size_t count, std::chrono::milliseconds timeout = 10s) const {
    return receiver->Sim->WaitForFrames(kind, count, timeout);
  }
  // Waits until the line has been quiet both ways for a while: the last
  // answer has reached the window and been shown (its framing pause is 50 ms).
  bool Settle() {
    const auto deadline = std::chrono::steady_clock::now() + 15s;
    auto state = [&] { return std::pair(receiver->Sim->Frames().size(), receiver->Sim->BytesSent()); };
    auto last = state();
    auto since = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(50ms);
      if (state() != last) {
        last = state();
        since = std::chrono::steady_clock::now();
      } else if (std::chrono::steady_clock::now() - since >= 400ms) {
        return true;
      }
    }
    return false;
  }

  // Saves a picture of the window and whatever the tool shows over it, when
  // pictures are asked for.
  void Shot(const std::string& name) {
    const char* folder = std::getenv("ACCEPTANCE_SHOTS");
    if (!folder || !*folder) return;
    std::filesystem::create_directories(folder);
    Rect area = window->frame;
    for (const Window& w : screen->Windows(tool.Pid())) area = area.United(w.frame);
    EXPECT_TRUE(screen->Screenshot(std::filesystem::path(folder) / name, area)) << name;
  }

  // Destroyed in reverse: the tool, then its screen, then the receiver.
  std::unique_ptr<SimulatedReceiver> receiver;
  std::unique_ptr<XSession> screen;
  ChildProcess tool;
  std::optional<Window> window;
  std::filesystem::path firmwareFolder;
};

TEST_F(FieldDay, LinkParametersFilesFormatAndUpgradeThroughTheScreen) {
  z500sim::Simulator& sim = *receiver->Sim;
  const std::vector<DirEntry> files = sim.Files();
  ASSERT_EQ(files.size(), 20u);

  // The link: COM1 picked in the chooser with the keyboard, then opened. The
  // tool silences the receiver's periodic output twice.
  ClickOn(kChooser);
  EXPECT_TRUE(screen->Focus(window->id) && screen->Key("Down"));
  ClickOn(kOpenButton);
  ASSERT_TRUE(WaitForFrames(FrameKind::Unlog, 2)) << "the link did not open";
  Settle();
  Shot("connect.png");

  // The parameters read into the boxes: written back unchanged, they reach
  // the receiver as they were read (the boxes' own defaults differ).
  ClickOn(kReadParameters);
  ASSERT_TRUE(WaitForFrames(FrameKind::ReadParameters, 1));
  Settle();
  Shot("parameters.png");
  ClickOn(kSetParameters);
  ASSERT_TRUE(WaitForFrames(FrameKind::WriteParameters, 1));
  EXPECT_EQ(sim.Interval(), 15);
  EXPECT_EQ(sim.Cutoff(), 10);

  // New parameters typed into the boxes.
  TypeInto(kInterval, "30");
  TypeInto(kCutoff, "15");
  ClickOn(kSetParameters);
  ASSERT_TRUE(WaitForFrames(FrameKind::WriteParameters, 2));
  EXPECT_TRUE(WaitFor([&] { return sim.Interval() == 30 && sim.Cutoff() == 15; }, 5s))
      << int(sim.Interval()) << " " << int(sim.Cutoff());

  // The directory, page by page.
  ClickOn(kRefresh);
  ASSERT_TRUE(WaitForFrames(FrameKind::Directory, 1));
  ASSERT_TRUE(Settle());
  Shot("directory.png");

  // The third file deleted after the confirmation; "done" is answered too,
  // and the directory is read again.
  ClickRow(3);
  ASSERT_NO_FATAL_FAILURE(ConfirmedStep(kDelete, "delete-confirm.png", FrameKind::Delete, "delete"));
  const size_t listings = Count(FrameKind::Directory);
  ASSERT_TRUE(WaitForFrames(FrameKind::Directory, listings + 1));
  ASSERT_TRUE(Settle());
  std::vector<DirEntry> left = files;
  left.erase(left.begin() + 2);
  EXPECT_EQ(sim.Files(), left);
  const auto deletes = receiver->FramesOf(FrameKind::Delete);
  ASSERT_EQ(deletes.size(), 1u);
  EXPECT_TRUE(Contains(deletes[0].bytes, files[2].Name())) << files[2].Name();

  // The format, confirmed, and its "done" box.
  ASSERT_NO_FATAL_FAILURE(ConfirmedStep(kFormat, "format-confirm.png", FrameKind::Format, "format"));
  EXPECT_TRUE(sim.Files().empty());

  // The firmware upgrade: the image chosen in the file dialog by typing its
  // path, the power-off reminder answered, then the success box.
  const std::filesystem::path image = firmwareFolder / "Z500-V2.1.088.rxf";
  const Bytes content = FirmwareImage(4500);
  std::ofstream(image, std::ios::binary)
      .write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
  ClickOn(kChooseFile);
  std::optional<Window> box = WaitForBox();
  ASSERT_TRUE(box) << "no file dialog";
  ASSERT_TRUE(screen->Focus(box->id) && screen->Type(image.string()));
  Shot("upgrade-file.png");
  ASSERT_TRUE(screen->Key("Return"));
  ASSERT_TRUE(screen->WaitUntilGone(tool.Pid(), box->id, 10s)) << "the file dialog stayed";
  ClickOn(kStartUpgrade);
  box = WaitForBox(kMessageTitle);
  ASSERT_TRUE(box) << "no power-off reminder";
  ASSERT_TRUE(Answer(*box));
  const size_t blocks = (content.size() + 127) / 128;
  ASSERT_TRUE(WaitForFrames(FrameKind::Block, blocks, 60s)) << Count(FrameKind::Block) << " blocks";
  box = WaitForBox(kMessageTitle);
  ASSERT_TRUE(box) << "no success box";
  Shot("upgrade-done.png");
  ASSERT_TRUE(Answer(*box));
  EXPECT_EQ(sim.Firmware(), content);
  EXPECT_TRUE(Settle());

  // Nothing is left open over the window, and the tool runs on.
  EXPECT_EQ(screen->Windows(tool.Pid()).size(), 1u);
  EXPECT_TRUE(tool.Running());
  EXPECT_EQ(Count(FrameKind::Block), blocks);
  EXPECT_EQ(Count(FrameKind::Unlog), 2u);
  EXPECT_EQ(KindRuns(sim.Frames()),
            KindNames({FrameKind::Unlog, FrameKind::ReadParameters, FrameKind::WriteParameters,
                                    FrameKind::Directory, FrameKind::Delete, FrameKind::Directory,
                                    FrameKind::Format, FrameKind::Handshake, FrameKind::Block}));

  const char* whole = std::getenv("ACCEPTANCE_SCREEN");
  EXPECT_TRUE(screen->Screenshot(whole && *whole ? whole : ACCEPTANCE_SCREEN_DEFAULT));
}

// The program ended with the link open, as the end of a session (SIGTERM)
// or a kill does: SIGTERM closes the window and the port, also with a box
// open over the window, and the program exits with 143; after SIGKILL the
// port is free all the same. Each time the next program opens the port at
// once.
TEST_F(FieldDay, ASignalOrAKillWithTheLinkOpenLeavesThePortFree) {
  const auto openLink = [&] {
    const size_t unlogs = Count(FrameKind::Unlog) + 2;
    ClickOn(kChooser);
    EXPECT_TRUE(screen->Focus(window->id) && screen->Key("Down"));
    ClickOn(kOpenButton);
    return WaitForFrames(FrameKind::Unlog, unlogs);
  };
  const auto startAgain = [&] {
    tool = ChildProcess::Spawn({Z500_MANAGER_PATH}, firmwareFolder);
    window = screen->WaitForWindow(tool.Pid(), kWindowTitle, 30s);
    return window.has_value();
  };
  const auto endedByTermAndFree = [&] {
    const std::optional<int> status = tool.Signal(SIGTERM, 10s);
    ASSERT_TRUE(status) << "the program did not end";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 128 + SIGTERM) << *status;
    EXPECT_TRUE(PortIsFree(receiver->Path)) << "the port is still locked or marked";
  };

  ASSERT_TRUE(openLink()) << "the link did not open";
  endedByTermAndFree();

  ASSERT_TRUE(startAgain()) << "the main window did not show again";
  ASSERT_TRUE(openLink()) << "the port did not open again";
  ASSERT_TRUE(tool.Signal(SIGKILL, 10s));

  ASSERT_TRUE(startAgain()) << "the main window did not show again";
  ASSERT_TRUE(openLink()) << "the port did not open after a kill";
  ClickOn(kStartUpgrade);  // no firmware file chosen: a box says so
  ASSERT_TRUE(WaitForBox(kMessageTitle)) << "no box";
  endedByTermAndFree();
}

}  // namespace
