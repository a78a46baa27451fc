// The simulator on a real pseudo-terminal, run in-process: the test holds the
// slave side like the tool would and checks answers, timing and the line.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>

#include "Simulator.h"
#include "TestBytes.h"
#include "TestLoad.h"

using namespace z500sim;
using namespace std::chrono_literals;
using simtest::H;
using simtest::CpuWait;
using std::chrono::microseconds;
using std::chrono::milliseconds;

namespace {

class SimulatorLine : public ::testing::Test {
protected:
  static Options Fast() {
    Options o;
    o.baud = 0;
    o.replyDelayMs = 1;
    o.unlogged = true;
    return o;
  }

  void Run(const Options& options, TraceSink trace = {}) {
    Pty pty = OpenPty();
    path_ = pty.slavePath;
    slave_ = std::move(pty.slave);
    ASSERT_EQ(::fcntl(slave_.Get(), F_SETFL, O_NONBLOCK), 0);
    sim_ = std::make_unique<Simulator>(std::move(pty.master), options, std::move(trace));
    sim_->Start();
  }

  void Write(const Bytes& b) { ASSERT_EQ(::write(slave_.Get(), b.data(), b.size()), static_cast<ssize_t>(b.size())); }

  // Reads until `n` bytes have come or `timeout` has passed. The default is
  // a deadline for what must come, generous for a loaded machine.
  Bytes Read(size_t n, milliseconds timeout = 5000ms) {
    Bytes got;
    const auto end = Clock::now() + timeout;
    while (got.size() < n) {
      const auto left = std::chrono::duration_cast<milliseconds>(end - Clock::now()).count();
      pollfd p{slave_.Get(), POLLIN, 0};
      if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0 || !(p.revents & POLLIN)) break;
      uint8_t buf[4096];
      const ssize_t r = ::read(slave_.Get(), buf, std::min(sizeof buf, n - got.size()));
      if (r <= 0) break;
      got.insert(got.end(), buf, buf + r);
    }
    return got;
  }

  // An exchange as the tool makes it: one frame out, one answer of `n` bytes back.
  Bytes Ask(const Bytes& frame, size_t n) {
    Write(frame);
    return Read(n);
  }

  // Writes `out` and reads until `in` bytes have come, both at once, as a
  // sender that reads its answers; returns the bytes read.
  size_t WriteAndRead(const Bytes& out, size_t in, milliseconds timeout) {
    size_t written = 0, read = 0;
    const auto end = Clock::now() + timeout;
    while ((written < out.size() || read < in) && Clock::now() < end) {
      pollfd p{slave_.Get(), static_cast<short>(POLLIN | (written < out.size() ? POLLOUT : 0)), 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      if (p.revents & POLLOUT) {
        const ssize_t n = ::write(slave_.Get(), out.data() + written, out.size() - written);
        if (n > 0) written += static_cast<size_t>(n);
      }
      uint8_t buf[4096];
      const ssize_t r = (p.revents & POLLIN) ? ::read(slave_.Get(), buf, std::min(sizeof buf, in - read)) : 0;
      if (r > 0) read += static_cast<size_t>(r);
    }
    return read;
  }

  std::string path_;
  UniqueFd slave_;
  std::unique_ptr<Simulator> sim_;
};

// The trace lines given to a sink, kept for the test thread.
struct TraceLines {
  std::shared_ptr<std::vector<std::string>> lines = std::make_shared<std::vector<std::string>>();
  std::shared_ptr<std::mutex> mutex = std::make_shared<std::mutex>();

  TraceSink Sink() const {
    return [lines = lines, mutex = mutex](const std::string& line) {
      std::lock_guard lock(*mutex);
      lines->push_back(line);
    };
  }
  std::vector<std::string> Get() const {
    std::lock_guard lock(*mutex);
    return *lines;
  }
  // The simulator's clock, in seconds, of each line containing `text`.
  std::vector<double> TimesOf(const std::string& text) const {
    std::vector<double> times;
    for (const auto& line : Get()) {
      double t = 0;
      if (line.find(text) != std::string::npos && std::sscanf(line.c_str(), "[%lf]", &t) == 1) times.push_back(t);
    }
    return times;
  }
};

// Time a line of 19200 baud (10 bits a byte) takes to carry `bytes`.
microseconds LineTime(size_t bytes) { return microseconds(bytes * 1'000'000 / 1920); }

// Whether the slave at `path` is in exclusive mode: root opens it anyway and
// reads the flag; anyone else is refused while it is (1), or -1 on failure.
int Marked(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno == EBUSY ? 1 : -1;
  int marked = -1;
  if (::ioctl(fd, TIOCGEXCL, &marked) != 0) marked = -1;
  ::close(fd);
  return marked;
}

// The errno of an open of `path` by an ordinary user (a child that drops
// root's rights), 0 when it got the line.
int OpenAsAnotherUser(const std::string& path) {
  if (::geteuid() == 0 && ::chmod(path.c_str(), 0666) != 0) return -1;
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(255);
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ::_exit(fd >= 0 ? 0 : errno);
  }
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

}  // namespace

TEST_F(SimulatorLine, AnswersTheToolsFramesAndRecordsThem) {
  Options o = Fast();
  o.files = 20;
  Run(o);
  EXPECT_EQ(Ask(H("24 24 46 4A 00 00 0C 0D 0A"), 11), H("24 24 46 4A 02 00 05 0C 07 0D 0A"));
  const auto files = sim_->Files();
  Bytes lastPage;
  for (size_t i = 16; i < 20; ++i) lastPage.insert(lastPage.end(), files[i].bytes.begin(), files[i].bytes.end());
  EXPECT_EQ(Ask(H("24 24 46 4D 03 00 08 10 00 10 0D 0A"), 137), simtest::StdFrame('F', 'M', lastPage));

  EXPECT_EQ(Ask(simtest::Handshake(), 6), H("24 24 56 53 01 58"));
  const Bytes image = simtest::Image(300);
  for (uint32_t offset : {0u, 128u, 256u}) {
    const Bytes data(image.begin() + offset, image.begin() + std::min<size_t>(offset + 128, 300));
    EXPECT_EQ(Ask(simtest::Block(0x40008000 + offset, data), 10), simtest::BlockAnswer(0, 0x40008000 + offset));
  }
  EXPECT_EQ(sim_->Firmware(), image);
  std::vector<FrameKind> kinds;
  for (const auto& f : sim_->Frames()) kinds.push_back(f.kind);
  EXPECT_EQ(kinds, (std::vector<FrameKind>{FrameKind::ReadParameters, FrameKind::Directory, FrameKind::Handshake,
                                           FrameKind::Block, FrameKind::Block, FrameKind::Block}));
}

TEST_F(SimulatorLine, PeriodicSentencesStopAtUnlogAndBothUnlogsAreRecorded) {
  Options o = Fast();
  o.unlogged = false;
  o.logPeriodMs = 100;
  Run(o);
  const Bytes sentence = Read(7);
  EXPECT_EQ(std::string(sentence.begin(), sentence.end()), "$GPGGA,");
  const Bytes unlog = H("75 6E 6C 6F 67 61 6C 6C 20 63 6F 6D 31 0D 0A 00");
  // Each frame is recorded with a time between its write and the moment it
  // was seen recorded, however late the simulator read it.
  Clock::time_point written[2], seen[2];
  for (size_t i = 0; i < 2; ++i) {
    if (i > 0) std::this_thread::sleep_for(100ms);
    written[i] = Clock::now();
    Write(unlog);
    ASSERT_TRUE(sim_->WaitForFrames(FrameKind::Unlog, i + 1, 5000ms));
    seen[i] = Clock::now();
  }
  const auto frames = sim_->Frames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[1].bytes, unlog);
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_GE(frames[i].at, written[i]) << i;
    EXPECT_LE(frames[i].at, seen[i]) << i;
  }
  EXPECT_FALSE(sim_->Logging());
  // A sentence started before the first unlog took effect has been written
  // by now; no more may follow (one would come every 100 ms).
  const uint64_t sent = sim_->BytesSent();
  std::this_thread::sleep_for(350ms);
  EXPECT_EQ(sim_->BytesSent(), sent);

  // Stop wakes the thread rather than wait for it to look again: timed
  // right after the thread has sent an answer and gone to sleep, when a
  // thread that only checks now and then would sleep longest (1 s). The
  // time this thread waited for a processor is the machine's, not Stop's;
  // closing the line's close watch waits for the kernel (tens of ms, a few
  // hundred on a loaded machine).
  Write(H("24 24 46 4A 00 00 0C 0D 0A"));
  const Bytes answer = H("24 24 46 4A 02 00 05 0C 07 0D 0A");
  Bytes got;  // sentences from before the unlogs may come first
  for (const auto end = Clock::now() + 5s; Clock::now() < end;) {
    if (got.size() >= answer.size() && std::equal(answer.rbegin(), answer.rend(), got.rbegin())) break;
    got = simtest::Cat(got, Read(1, 100ms));
  }
  ASSERT_TRUE(got.size() >= answer.size() && std::equal(answer.rbegin(), answer.rend(), got.rbegin()));
  const CpuWait waited;
  const auto start = Clock::now();
  sim_->Stop();
  const auto wall = Clock::now() - start;
  const auto took = wall - waited.Since();
  std::printf("Stop took %lld ms besides waiting for a processor (%lld ms in all)\n",
              static_cast<long long>(std::chrono::duration_cast<milliseconds>(took).count()),
              static_cast<long long>(std::chrono::duration_cast<milliseconds>(wall).count()));
  EXPECT_LT(took, 500ms);
}

TEST_F(SimulatorLine, SoundAndSerialResetAreRecordedAndTraced) {
  const TraceLines trace;
  Run(Fast(), trace.Sink());
  EXPECT_EQ(Ask(H("24 24 53 49 04 00 FF FF 01 FF E0 0D 0A"), 9), simtest::StdFrame('S', 'I'));
  const Bytes reset = Ask(H("24 24 53 52 53 54"), 8);
  ASSERT_GE(reset.size(), 4u);
  EXPECT_EQ(Bytes(reset.begin(), reset.begin() + 4), H("24 24 53 52"));
  ASSERT_EQ(sim_->Frames().size(), 2u);
  EXPECT_EQ(sim_->Frames()[1].kind, FrameKind::SerialReset);
  sim_->Stop();
  std::string all;
  for (const auto& l : trace.Get()) all += l + "\n";
  EXPECT_NE(all.find("in  24 24 53 49 04 00 FF FF 01 FF E0 0D 0A  | sound"), std::string::npos) << all;
  EXPECT_NE(all.find("in  24 24 53 52 53 54  | serial reset"), std::string::npos) << all;
  EXPECT_NE(all.find("out 24 24 53 52"), std::string::npos) << all;
}

TEST_F(SimulatorLine, SplitAnswerPausesLongerThanThePackageInterval) {
  Options o = Fast();
  o.splitAnswers = true;
  const TraceLines trace;
  Run(o, trace.Sink());
  Write(H("24 24 46 4A 00 00 0C 0D 0A"));
  const Bytes first = Read(5);
  const Bytes second = Read(6);
  EXPECT_EQ(simtest::Cat(first, second), H("24 24 46 4A 02 00 05 0C 07 0D 0A"));
  // The pause is timed where the halves are written: a reader woken late
  // for the first half would see it shortened. Stopped, the thread has
  // traced all it wrote.
  sim_->Stop();
  const auto out = trace.TimesOf("] out ");
  ASSERT_EQ(out.size(), 2u);
  EXPECT_GE(out[1] - out[0], 0.120);
}

TEST_F(SimulatorLine, HangupClosesTheLineAfterTheAnswerToBlockK) {
  Options o = Fast();
  o.hangupAfter = 1;
  Run(o);
  EXPECT_EQ(Ask(simtest::Handshake(), 6), H("24 24 56 53 01 58"));
  EXPECT_EQ(Ask(simtest::Block(0x40008000, simtest::Image(128)), 10), simtest::BlockAnswer(0, 0x40008000));
  pollfd p{sim_->LineClosedFd(), POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 10000), 1);
  EXPECT_TRUE(sim_->LineClosed());
  // The tool's side sees a hung-up line.
  pollfd s{slave_.Get(), POLLIN, 0};
  ASSERT_EQ(::poll(&s, 1, 10000), 1);
  EXPECT_TRUE(s.revents & POLLHUP);
  uint8_t b;
  EXPECT_LE(::read(slave_.Get(), &b, 1), 0);
}

TEST_F(SimulatorLine, BytesLeaveNoFasterThanTheBaudRate) {
  Options o = Fast();
  o.baud = 19200;  // 1920 bytes a second
  Run(o);
  const Bytes data = simtest::Image(1920);
  const CpuWait waited;
  const auto start = Clock::now();
  sim_->Inject(data);
  // Checked at every read: all bytes read so far have had the time to cross
  // the line (within a byte, for rounding). A reader woken late only sees
  // them later.
  Bytes got;
  size_t reads = 0;
  while (got.size() < data.size() && Clock::now() - start < 10s) {
    const Bytes piece = Read(data.size() - got.size(), 100ms);
    if (piece.empty()) continue;
    got = simtest::Cat(got, piece);
    const auto at = Clock::now() - start;
    EXPECT_GE(at, LineTime(got.size() - 1)) << got.size() << " bytes";
    ++reads;
  }
  const auto took = Clock::now() - start;
  EXPECT_EQ(got, data);
  // Not much slower than the line either. Each wake-up a loaded machine
  // delays adds to the total, but only by the time the threads waited for
  // a processor.
  const auto slowedBy = waited.Since();
  EXPECT_LT(took - slowedBy, LineTime(data.size()) + 300ms);
  std::printf("1920 bytes at 19200 baud took %lld ms in %zu reads, %lld ms of it waiting for a processor\n",
              static_cast<long long>(std::chrono::duration_cast<milliseconds>(took).count()), reads,
              static_cast<long long>(std::chrono::duration_cast<milliseconds>(slowedBy).count()));
}

TEST_F(SimulatorLine, AFrameIsActedOnOnlyWhenItsLastByteWouldHaveArrived) {
  Options o = Fast();
  o.baud = 19200;  // 1920 bytes a second
  Run(o);
  // The pty hands all frames over at once; a line carries the handshake in
  // 3 ms and each block 71 ms after the one before: the last ends after
  // 859 ms. Each answer leaves when its frame has arrived, not at the end.
  constexpr size_t kBlocks = 12;
  const Bytes image = simtest::Image(128 * kBlocks);
  Bytes all = simtest::Handshake();
  struct Expected {
    Bytes answer;
    size_t lineBytes;  // bytes on the line in both directions up to its end
  };
  std::vector<Expected> expected = {{H("24 24 56 53 01 58"), 6 + 6}};
  for (size_t k = 0; k < kBlocks; ++k) {
    const uint32_t address = 0x40008000 + static_cast<uint32_t>(128 * k);
    const auto from = image.begin() + static_cast<ptrdiff_t>(128 * k);
    all = simtest::Cat(all, simtest::Block(address, Bytes(from, from + 128)));
    expected.push_back({simtest::BlockAnswer(0, address), all.size() + 10});
  }
  const CpuWait waited;
  const auto start = Clock::now();
  Write(all);
  for (const auto& e : expected) {
    EXPECT_EQ(Read(e.answer.size()), e.answer);
    const auto took = Clock::now() - start;
    EXPECT_GE(took, LineTime(e.lineBytes) + milliseconds(o.replyDelayMs)) << e.lineBytes;
    // Less the time the threads waited for a processor, and with room for
    // the kernel's own delay in passing bytes through the pty: the
    // handshake's answer is still caught if it waits for the whole write.
    EXPECT_LT(took - waited.Since(), LineTime(e.lineBytes) + 300ms) << e.lineBytes;
  }
  const auto frames = sim_->Frames();
  ASSERT_EQ(frames.size(), kBlocks + 1);
  for (size_t k = 1; k < frames.size(); ++k) EXPECT_GE(frames[k].at - frames[k - 1].at, LineTime(137)) << k;
  EXPECT_EQ(sim_->Firmware(), image);
}

// Bytes written faster than the paced line carries them stay in the pty,
// as they would in a driver's buffer: the simulator does not read ahead
// without bound.
TEST_F(SimulatorLine, AFloodFasterThanTheLineIsHeldBackNotStored) {
  Options o = Fast();
  o.baud = 19200;
  Run(o);
  const Bytes garbage(4096, 0x55);
  size_t accepted = 0;
  const auto end = Clock::now() + 2s;
  while (accepted < (8u << 20) && Clock::now() < end) {
    const ssize_t n = ::write(slave_.Get(), garbage.data(), garbage.size());
    if (n > 0) {
      accepted += static_cast<size_t>(n);
      continue;
    }
    pollfd p{slave_.Get(), POLLOUT, 0};
    if (::poll(&p, 1, 100) <= 0) break;  // nothing taken for 100 ms: held back
  }
  EXPECT_LT(accepted, 1u << 20) << "the simulator read " << accepted << " bytes ahead of a 1920 bytes/s line";
}

// A sender that floods frames and reads none of the answers: the simulator
// queues a bounded amount of output and then takes no more frames, so the
// pty holds the sender back, paced or not; the record keeps its latest
// frames. Read along, the answers then come as usual.
TEST_F(SimulatorLine, AFloodWhoseAnswersAreNotReadIsHeldBackAndTheRecordStaysBounded) {
  const struct {
    uint32_t baud;
    Bytes request;
    size_t answerSize;
  } rows[] = {
      {0, H("24 24 46 4A 00 00 0C 0D 0A"), 11},                     // parameters: 11 bytes for 9
      {19200, simtest::StdFrame('F', 'M', H("08 00 00")), 8 * 32 + 9},  // a page: 265 bytes for 12
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.baud);
    Options o = Fast();
    o.baud = row.baud;
    o.files = 8;
    o.keptFrames = 1000;
    Run(o);
    Bytes flood;
    while (flood.size() < 4096) flood = simtest::Cat(flood, row.request);
    // Written until nothing more is taken for 300 ms, and for 1.5 s at least.
    size_t accepted = 0;
    Holdings most;
    const auto start = Clock::now();
    auto lastTaken = start;
    while (Clock::now() - start < 4s && (Clock::now() - start < 1500ms || Clock::now() - lastTaken < 300ms)) {
      const size_t from = accepted % flood.size();
      const ssize_t n = ::write(slave_.Get(), flood.data() + from, flood.size() - from);
      if (n > 0) {
        accepted += static_cast<size_t>(n);
        lastTaken = Clock::now();
      } else {
        pollfd p{slave_.Get(), POLLOUT, 0};
        ::poll(&p, 1, 20);
      }
      const Holdings h = sim_->Held();
      most = {std::max(most.frames, h.frames), std::max(most.frameBytes, h.frameBytes),
              std::max(most.queuedOutputs, h.queuedOutputs), std::max(most.queuedBytes, h.queuedBytes),
              std::max(most.inboundBytes, h.inboundBytes)};
    }
    std::printf("%u baud: %zu bytes taken; at most %zu frames, %zu outputs of %zu bytes, %zu bytes inbound\n",
                row.baud, accepted, most.frames, most.queuedOutputs, most.queuedBytes, most.inboundBytes);
    EXPECT_LT(accepted, 1u << 20);
    EXPECT_LE(most.frames, o.keptFrames);
    EXPECT_LE(most.queuedBytes, Simulator::kMaxQueuedBytes + row.answerSize);
    EXPECT_LE(most.queuedOutputs, Simulator::kMaxQueuedOutputs + 1);
    if (row.baud != 0) continue;  // a paced line takes minutes to carry all those answers

    // The frame cut short is completed and every answer read; one more
    // exchange is answered as usual and recorded last.
    const size_t frames = (accepted + row.request.size() - 1) / row.request.size();
    const Bytes rest(row.request.begin() + static_cast<ptrdiff_t>(accepted % row.request.size()),
                     accepted % row.request.size() ? row.request.end() : row.request.begin());
    ASSERT_EQ(WriteAndRead(rest, frames * row.answerSize, 20s), frames * row.answerSize);
    EXPECT_EQ(Ask(row.request, row.answerSize), H("24 24 46 4A 02 00 05 0C 07 0D 0A"));
    ASSERT_TRUE(sim_->WaitForFrames(FrameKind::ReadParameters, frames + 1, 2000ms));
    EXPECT_EQ(sim_->Received(FrameKind::ReadParameters), frames + 1);
    const auto kept = sim_->Frames();
    EXPECT_EQ(kept.size(), std::min<size_t>(frames + 1, o.keptFrames));
  }
}

// A client that set exclusive mode on the line and was killed: once it is
// gone the mark is lifted and the line can be opened again; while a client
// lives, its mark stays. Root passes the mark, so the flag itself is read.
TEST_F(SimulatorLine, AClientsExclusiveMarkDoesNotOutliveTheClient) {
  auto lines = std::make_shared<std::vector<std::string>>();
  auto mutex = std::make_shared<std::mutex>();
  Run(Fast(), [=](const std::string& line) {
    std::lock_guard lock(*mutex);
    lines->push_back(line);
  });
  slave_.Reset();  // the client below is the only one
  const auto traced = [&](const std::string& text) {
    const auto end = Clock::now() + 5s;
    for (; Clock::now() < end; std::this_thread::sleep_for(10ms)) {
      std::lock_guard lock(*mutex);
      for (const auto& l : *lines)
        if (l.find(text) != std::string::npos) return true;
    }
    return false;
  };

  int ready[2];
  ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
  const pid_t client = ::fork();
  if (client == 0) {
    // Marks the line exclusive, then closes a second descriptor while it
    // lives, so the simulator looks at the mark, and waits to be killed.
    const int fd = ::open(path_.c_str(), O_RDWR | O_NOCTTY);
    const int second = ::open(path_.c_str(), O_RDWR | O_NOCTTY);
    const char ok = fd >= 0 && second >= 0 && ::ioctl(fd, TIOCEXCL) == 0 ? 1 : 0;
    ::close(second);
    [[maybe_unused]] ssize_t n = ::write(ready[1], &ok, 1);
    for (;;) ::pause();
  }
  ::close(ready[1]);
  ASSERT_GT(client, 0);
  char ok = 0;
  pollfd p{ready[0], POLLIN, 0};
  EXPECT_TRUE(::poll(&p, 1, 5000) == 1 && ::read(ready[0], &ok, 1) == 1 && ok == 1);
  ::close(ready[0]);
  EXPECT_TRUE(traced("exclusive mode kept"));
  EXPECT_EQ(Marked(path_), 1) << "the mark of a live client was lifted";

  ::kill(client, SIGKILL);
  ASSERT_EQ(::waitpid(client, nullptr, 0), client);
  // Each look opens the line itself, which the simulator may for a moment
  // take for a live client and mark again: look until the line settles.
  const auto end = Clock::now() + 5s;
  int marked = 1, refused = -1;
  while ((marked = Marked(path_)) != 0 || (refused = OpenAsAnotherUser(path_)) != 0) {
    if (Clock::now() >= end) break;
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_EQ(marked, 0) << "the killed client's mark stayed";
  EXPECT_EQ(refused, 0) << "an ordinary user cannot open the line";
  // The line still answers.
  slave_.Reset(::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  EXPECT_EQ(Ask(H("24 24 46 4A 00 00 0C 0D 0A"), 11), H("24 24 46 4A 02 00 05 0C 07 0D 0A"));
}
