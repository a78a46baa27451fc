// The line trace: the frames' names, a session traced against the receiver
// simulator, paths that cannot be written, and a writer that falls behind.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <mutex>

#include "FrameNames.h"
#include "LineTrace.h"
#include "ReceiverSession.h"
#include "Simulator.h"
#include "receiver/TraceLines.h"

using namespace Z500;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The report lines a trace gave, from whichever thread.
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
      {SerialResetCommand(), true, "serial reset"},
      {H("24 24 46 4A 02 00 05 0C 00 0D 0A"), false, "parameters reply (interval 5 s, cut-off 12 deg)"},
      {H("24 24 46 4A 00 00 0C 0D 0A"), false, "parameters set"},
      {Cat(H("24 24 46 4D 20 00"), Bytes(32, 0x41)), false, "directory page (1 entries)"},
      {Cat(H("24 24 46 4D 40 00"), Bytes(10, 0x41)), false, "directory page (10 of 64 bytes)"},
      {H("24 24 46 44 00 00 06 0D 0A"), false, "delete or format done"},
      {H("24 24 56 53 01 58"), false, "handshake answer (hardware version 88)"},
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

// A session against the simulator, which traces its own answers: the
// session's '<' records must repeat them.
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
      if (const auto at = line.find("] out "); at != std::string::npos)
        answers = Cat(answers, H(line.substr(at + 6, line.find("  |") - at - 6)));
    });
    sim->Start();
    dir = fs::temp_directory_path() / ("line-trace-" + std::to_string(::getpid()));
    fs::create_directories(dir);
  }
  void TearDown() override {
    sim->Stop();
    fs::remove_all(dir);
  }

  // Reads the parameters and sets them, traced into `trace`; true when both came back.
  bool ReadAndSet(TLineTrace& trace) {
    TReceiverSession session(clock);
    session.SetTrace(&trace, "COM4");
    session.Open(path);
    int replies = 0;
    TReplyRoutes routes;
    routes.Parameters = [&](uint8_t, uint8_t) { ++replies; };
    routes.ParametersSet = [&] { ++replies; };
    const auto deadline = [] { return std::chrono::steady_clock::now() + 5s; };
    return session.Send(ReadParametersRequest()) &&
           session.Wait(routes, false, [&] { return replies == 1; }, deadline()) == TWaitEnd::Done &&
           session.Send(WriteParametersRequest(15, 10)) &&
           session.Wait(routes, false, [&] { return replies == 2; }, deadline()) == TWaitEnd::Done &&
           session.SendAndWaitForHead(FormatRequest(), FormatHead, 3000) == TWaitEnd::Done;
  }

  std::string path;
  std::unique_ptr<z500sim::Simulator> sim;
  std::mutex simLock;
  Bytes answers;  // simLock
  TSteadyClock clock;
  fs::path dir;
};

TEST_F(SessionTrace, RecordsEveryFrameBothWaysWithItsNameAndTheRawWait) {
  const std::string file = dir / "trace.txt";
  Reports reports;
  {
    TLineTrace trace(file, std::ref(reports));
    ASSERT_TRUE(ReadAndSet(trace));
    EXPECT_EQ(trace.Dropped(), 0u);
  }
  EXPECT_TRUE(reports.Taken().empty());
  std::vector<Bytes> sent, seen;
  std::vector<std::string> names;
  Bytes received;
  unsigned long long last = 0;
  for (const auto& l : ReadTrace(file)) {
    EXPECT_EQ(l.Port, "COM4");
    EXPECT_GE(l.Ms, last);
    last = l.Ms;
    if (names.empty() || names.back() != "< raw") names.push_back(std::string(1, l.Direction) + " " + l.Name);
    if (l.Direction == '>') sent.push_back(l.Data);
    else received = Cat(received, l.Data);
  }
  for (const auto& f : sim->Frames()) seen.push_back(f.bytes);
  EXPECT_EQ(sent, seen);
  std::lock_guard lock(simLock);
  EXPECT_EQ(received, answers);
  EXPECT_EQ(names, (std::vector<std::string>{"> read parameters request",
                                             "< parameters reply (interval 5 s, cut-off 12 deg)",
                                             "> set parameters request (interval 15 s, cut-off 10 deg)",
                                             "< parameters set", "> format request", "< raw"}));
}

TEST_F(SessionTrace, APathThatCannotBeWrittenIsReportedOnceAndTheWorkGoesOn) {
  for (const std::string& file : {dir.string(), (dir / "missing" / "trace.txt").string()}) {
    Reports reports;
    {
      TLineTrace trace(file, std::ref(reports));
      EXPECT_TRUE(ReadAndSet(trace)) << file;
      EXPECT_TRUE(trace.Failed()) << file;
      EXPECT_GT(trace.Dropped(), 0u) << file;
    }
    const auto lines = reports.Taken();
    ASSERT_EQ(lines.size(), 1u) << file;
    EXPECT_NE(lines[0].find(file), std::string::npos) << lines[0];
  }
}

TEST(LineTrace, AWriterThatFallsBehindDropsAndCountsInsteadOfBlocking) {
  // A FIFO whose reader never reads: the writer stalls once the pipe is full.
  const std::string fifo = fs::temp_directory_path() / ("line-trace-fifo-" + std::to_string(::getpid()));
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  Reports reports;
  const Bytes block(256, 0xA5);
  constexpr unsigned Records = 20000;  // five megabytes against a pipe of 64 KiB
  auto trace = std::make_unique<TLineTrace>(fifo, std::ref(reports));
  const auto start = std::chrono::steady_clock::now();
  for (unsigned i = 0; i < Records; ++i) trace->Record("COM1", TTraceDirection::Received, TTraceKind::Raw, block);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_GT(trace->Dropped(), Records / 2);
  EXPECT_FALSE(trace->Failed());
  const auto closing = std::chrono::steady_clock::now();
  trace.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - closing, 10s) << "closing gives up on a pipe nobody reads";
  char buf[2048];
  const ssize_t n = ::read(reader, buf, sizeof buf);
  ::close(reader);
  fs::remove(fifo);
  ASSERT_GT(n, 0);
  const std::string head(buf, static_cast<size_t>(n));
  const TraceLine first = ParseTraceLine(head.substr(0, head.find('\n')));
  EXPECT_EQ(first.Data, block);
  EXPECT_EQ(first.Name, "raw");
  EXPECT_TRUE(reports.Taken().empty());
}

}  // namespace
