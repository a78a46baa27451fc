// The line trace: the frames' names, a session traced against the receiver
// simulator, a file that cannot be written, and a writer that falls behind.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "FrameNames.h"
#include "LineTrace.h"
#include "ReceiverSession.h"
#include "Simulator.h"
#include "receiver/TraceLines.h"

using namespace Z500;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

struct TempDir {
  TempDir() {
    std::string t = (fs::temp_directory_path() / "linetrace-XXXXXX").string();
    Path = ::mkdtemp(t.data());
  }
  ~TempDir() { fs::remove_all(Path); }
  std::string operator/(const char* name) const { return (Path / name).string(); }
  fs::path Path;
};

Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct Reports {
  void operator()(const std::string& line) {
    std::lock_guard lock(Lock);
    Lines.push_back(line);
  }
  std::vector<std::string> Taken() {
    std::lock_guard lock(Lock);
    return Lines;
  }
  std::mutex Lock;
  std::vector<std::string> Lines;
};

TEST(FrameNames, NameWhatTheToolSendsAndTheReceiverAnswers) {
  const std::array<uint8_t, 8> name{'B', 'J', '0', '1', '0', '6', '1', '1'};
  const uint8_t block[3] = {1, 2, 3};
  const struct {
    Bytes Frame;
    bool Sent;
    const char* Name;
  } rows[] = {
      {ReadParametersRequest(), true, "read parameters request"},
      {WriteParametersRequest(15, 10), true, "set parameters request (interval 15 s, cut-off 10 deg)"},
      {DirectoryRequest(300), true, "directory request for entry 300"},
      {DeleteRequest(std::span(&name, 1)), true, "delete request for 1 file"},
      {FormatRequest(), true, "format request"},
      {BlockFrame(0x80, block), true, "firmware block at 0x00000080 (3 bytes)"},
      {UpgradeHandshake(), true, "upgrade handshake"},
      {UnlogCommand(), true, "unlog command"},
      {SoundCommand(), true, "sound command"},
      {SerialResetCommand(), true, "serial reset"},
      {H("24 24 46 4A 02 00 05 0C 00 0D 0A"), false, "parameters reply (interval 5 s, cut-off 12 deg)"},
      {H("24 24 46 4A 00 00 0C 0D 0A"), false, "parameters set"},
      {Cat(H("24 24 46 4D 20 00"), Bytes(32, 0x41)), false, "directory page (1 entries)"},
      {Cat(H("24 24 46 4D 40 00"), Bytes(10, 0x41)), false, "directory page (10 of 64 bytes)"},
      {H("24 24 46 44 00 00 06 0D 0A"), false, "delete or format done"},
      {H("24 24 56 53 01 58"), false, "handshake answer (hardware version 88)"},
      {H("24 24 56 58 01 00 00 00 00 80"), false, "block answer (result 0, address 0x00000080)"},
      {H("24 24 56 58 01 02"), false, "block answer (result 2)"},
      {H("24 24 53 52 53 54 0D 0A"), false, "serial reset answer"},
      {StandardFrame(fcSettings, 'I', {}), false, "sound answer"},
      {UnlogCommand(), false, "unlog command (echo)"},
      // Near misses: a wrong check byte, another command, bytes outside frames.
      {H("24 24 46 4A 02 00 0F 0A 00 0D 0A"), true, "unknown"},
      {H("24 24 46 51 00 00 00 0D 0A"), false, "unknown"},
      {H("00 FF 13"), true, "garbage (3 bytes)"},
      {H("0D 0A 47 50"), false, "garbage (4 bytes)"},
  };
  for (const auto& row : rows)
    EXPECT_EQ(row.Sent ? SentFrameName(row.Frame) : ReceivedPackageName(row.Frame), row.Name) << row.Name;
}

// A session against the simulator, every step of it traced. The simulator
// traces its own answers, which the session's '<' records must repeat.
class SessionTrace : public ::testing::Test {
protected:
  void SetUp() override {
    z500sim::Pty pty = z500sim::OpenPty();
    path = pty.slavePath;
    z500sim::Options options;
    options.unlogged = true;
    options.formatTimeMs = 400;  // past the echo window: sooner would look like an echo
    sim = std::make_unique<z500sim::Simulator>(std::move(pty.master), options, [this](const std::string& line) {
      std::lock_guard lock(simLock);
      simTrace.push_back(line);
    });
    sim->Start();
  }
  void TearDown() override { sim->Stop(); }

  // The bytes of every answer the simulator sent, in order (none is longer
  // than its trace shows).
  Bytes SimAnswers() {
    Bytes all;
    std::lock_guard lock(simLock);
    for (const auto& line : simTrace)
      if (const auto at = line.find("] out "); at != std::string::npos)
        all = Cat(all, H(line.substr(at + 6, line.find("  |") - at - 6)));
    return all;
  }

  // Reads the parameters and sets them; true when both came back.
  static bool ReadAndSet(TReceiverSession& session) {
    int replies = 0;
    TReplyRoutes routes;
    routes.Parameters = [&](uint8_t, uint8_t) { ++replies; };
    routes.ParametersSet = [&] { ++replies; };
    const auto deadline = [] { return std::chrono::steady_clock::now() + 5s; };
    return session.Send(ReadParametersRequest()) &&
           session.Wait(routes, false, [&] { return replies == 1; }, deadline()) == TWaitEnd::Done &&
           session.Send(WriteParametersRequest(15, 10)) &&
           session.Wait(routes, false, [&] { return replies == 2; }, deadline()) == TWaitEnd::Done;
  }

  std::string path;
  std::unique_ptr<z500sim::Simulator> sim;
  std::mutex simLock;
  std::vector<std::string> simTrace;
  TSteadyClock clock;
  TempDir dir;
};

TEST_F(SessionTrace, RecordsEveryFrameBothWaysWithItsNameAndTheRawWaits) {
  const std::string file = dir / "trace.txt";
  Reports reports;
  {
    TLineTrace trace(file, std::ref(reports));
    TReceiverSession session(clock);
    session.SetTrace(&trace, "COM4");
    session.Open(path);
    ASSERT_TRUE(ReadAndSet(session));
    ASSERT_EQ(session.SendAndWaitForHead(FormatRequest(), FormatHead, 3000), TWaitEnd::Done);
    ASSERT_EQ(session.SendAndWaitForHead(SerialResetCommand(), SerialResetHead, 3000), TWaitEnd::Done);
    EXPECT_EQ(trace.Dropped(), 0u);
  }
  EXPECT_TRUE(reports.Taken().empty());
  const auto lines = ReadTrace(file);
  std::vector<Bytes> sent;
  std::vector<std::string> sentNames, receivedNames;
  Bytes received;
  unsigned long long last = 0;
  for (const auto& l : lines) {
    EXPECT_EQ(l.Port, "COM4");
    EXPECT_GE(l.Ms, last);
    last = l.Ms;
    (l.Direction == '>' ? sentNames : receivedNames).push_back(l.Name);
    if (l.Direction == '>') sent.push_back(l.Data);
    else received = Cat(received, l.Data);
  }
  std::vector<Bytes> seen;
  for (const auto& f : sim->Frames()) seen.push_back(f.bytes);
  EXPECT_EQ(sent, seen);
  EXPECT_EQ(received, SimAnswers());
  EXPECT_EQ(sentNames, (std::vector<std::string>{"read parameters request",
                                                 "set parameters request (interval 15 s, cut-off 10 deg)",
                                                 "format request", "serial reset"}));
  ASSERT_GE(receivedNames.size(), 4u);
  EXPECT_EQ(receivedNames[0], "parameters reply (interval 5 s, cut-off 12 deg)");
  EXPECT_EQ(receivedNames[1], "parameters set");
  for (size_t i = 2; i < receivedNames.size(); ++i) EXPECT_EQ(receivedNames[i], "raw");
}

TEST_F(SessionTrace, AFileThatCannotBeWrittenIsReportedOnceAndTheWorkGoesOn) {
  Reports reports;
  {
    TLineTrace trace(dir.Path.string(), std::ref(reports));  // a folder
    TReceiverSession session(clock);
    session.SetTrace(&trace, "COM4");
    session.Open(path);
    EXPECT_TRUE(ReadAndSet(session));
    EXPECT_TRUE(ReadAndSet(session));
  }
  const auto lines = reports.Taken();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find(dir.Path.string()), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find(std::strerror(EISDIR)), std::string::npos) << lines[0];
}

TEST(LineTrace, PathsThatCannotBeWrittenDropEveryRecordAfterOneReport) {
  TempDir dir;
  const std::string paths[] = {dir.Path.string(), dir / "missing/trace.txt"};
  const Bytes frame = ReadParametersRequest();
  for (const auto& path : paths) {
    Reports reports;
    uint64_t dropped = 0;
    bool failed = false;
    {
      TLineTrace trace(path, std::ref(reports));
      for (int i = 0; i < 50; ++i) trace.Record("", TTraceDirection::Sent, TTraceKind::Frame, frame);
      const auto deadline = std::chrono::steady_clock::now() + 5s;
      while (!trace.Failed() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
      trace.Record("", TTraceDirection::Sent, TTraceKind::Frame, frame);
      failed = trace.Failed();
      dropped = trace.Dropped();
    }
    EXPECT_TRUE(failed) << path;
    EXPECT_EQ(reports.Taken().size(), 1u) << path;
    // Those still queued when it failed are counted by the writer as it ends.
    EXPECT_LE(dropped, 51u) << path;
    EXPECT_GE(dropped, 1u) << path;
  }
}

TEST(LineTrace, AWriterThatFallsBehindDropsAndCountsInsteadOfBlocking) {
  // A FIFO whose reader never reads: the writer stalls once the pipe is full.
  TempDir dir;
  const std::string fifo = dir / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  Reports reports;
  const Bytes block(256, 0xA5);
  constexpr int Records = 20000;
  auto trace = std::make_unique<TLineTrace>(fifo, std::ref(reports));
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < Records; ++i) trace->Record("COM1", TTraceDirection::Received, TTraceKind::Raw, block);
  const auto recording = std::chrono::steady_clock::now() - start;
  // Five megabytes against a pipe of 64 KiB: most cannot have been written.
  EXPECT_GT(trace->Dropped(), Records / 2u);
  EXPECT_FALSE(trace->Failed());
  // Far less than writing them would take if each waited on the pipe.
  EXPECT_LT(recording, 5s);
  const auto closing = std::chrono::steady_clock::now();
  trace.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - closing, 10s) << "closing gives up on a pipe nobody reads";
  char buf[4096];
  const ssize_t n = ::read(reader, buf, sizeof buf);
  ::close(reader);
  ASSERT_GT(n, 0);
  const std::string head(buf, static_cast<size_t>(n));
  const auto first = ParseTraceLine(head.substr(0, head.find('\n')));
  EXPECT_EQ(first.Port, "COM1");
  EXPECT_EQ(first.Data, block);
  EXPECT_EQ(first.Name, "raw");
  EXPECT_TRUE(reports.Taken().empty());
}

}  // namespace
