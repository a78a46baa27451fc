// The z500-sim program itself: it prints the line to give the tool, answers
// over its pseudo-terminal (reached through --link), and stops cleanly on
// SIGTERM, removing the link.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "TestBytes.h"

using simtest::Bytes;
using simtest::H;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

extern char** environ;

namespace {

struct Program {
  pid_t pid = -1;
  int out = -1;  // its stdout and stderr, merged
};

Program Spawn(std::vector<std::string> args) {
  args.insert(args.begin(), Z500_SIM_PATH);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  int pipeFds[2];
  EXPECT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
  Program p;
  EXPECT_EQ(posix_spawn(&p.pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFds[1]);
  p.out = pipeFds[0];
  return p;
}

// Reads its output until `text` has appeared (and the line is complete), or 5 s.
std::string ReadUntil(int fd, const std::string& text) {
  std::string got;
  const auto end = Clock::now() + 5s;
  while (Clock::now() < end) {
    const size_t at = got.find(text);
    if (at != std::string::npos && got.find('\n', at) != std::string::npos) break;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 200) <= 0) continue;
    char buf[512];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  return got;
}

// Waits up to `deadline` for the program to end; one that has not ended by
// then is killed and reported as -1.
int WaitExit(pid_t pid, std::chrono::milliseconds deadline = 10s) {
  const int exited = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  EXPECT_GE(exited, 0);
  pollfd p{exited, POLLIN, 0};
  const bool ended = exited >= 0 && ::poll(&p, 1, static_cast<int>(deadline.count())) == 1;
  if (exited >= 0) ::close(exited);
  if (!ended) ::kill(pid, SIGKILL);
  int status = 0;
  EXPECT_EQ(::waitpid(pid, &status, 0), pid);
  if (!ended) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

TEST(Program, ServesItsPtyAndStopsCleanlyOnSigterm) {
  char dir[] = "/tmp/z500-sim-test-XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  const std::string link = std::string(dir) + "/ttyZ500";
  Program p = Spawn({"--unlogged", "--baud", "0", "--reply-delay", "1", "--link", link});
  const std::string out = ReadUntil(p.out, "QUARLCOMM_PORTS=");
  EXPECT_NE(out.find("QUARLCOMM_PORTS=COM1=" + link + "\n"), std::string::npos) << out;

  const int fd = ::open(link.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(fd, 0) << out;
  const Bytes ask = H("24 24 46 4A 00 00 0C 0D 0A");
  ASSERT_EQ(::write(fd, ask.data(), ask.size()), static_cast<ssize_t>(ask.size()));
  Bytes answer(11);
  size_t got = 0;
  pollfd pf{fd, POLLIN, 0};
  while (got < answer.size() && ::poll(&pf, 1, 5000) == 1) {
    const ssize_t n = ::read(fd, answer.data() + got, answer.size() - got);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  EXPECT_EQ(answer, H("24 24 46 4A 02 00 05 0C 07 0D 0A"));
  ::close(fd);

  // The simulator has just been woken by the close: a program that looked
  // for the signal only now and then would take longest from here.
  const auto start = Clock::now();
  ::kill(p.pid, SIGTERM);
  EXPECT_EQ(WaitExit(p.pid), 0);
  EXPECT_LT(Clock::now() - start, 2s);
  struct stat st {};
  EXPECT_NE(::lstat(link.c_str(), &st), 0) << "the link is removed at exit";
  EXPECT_NE(ReadUntil(p.out, "stopping").find("stopping"), std::string::npos);
  ::close(p.out);
  ::rmdir(dir);
}

TEST(Program, RefusesUnusableFirmwarePathsAtStartNotAtExit) {
  char dir[] = "/tmp/z500-sim-test-XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  const std::string folder = dir;
  const std::pair<std::string, std::string> cases[] = {
      {"--expect-firmware", "/dev/zero"},  // endless: never read
      {"--save-firmware", folder + "/no-such-folder/image.bin"},
  };
  for (const auto& [option, path] : cases) {
    SCOPED_TRACE(option + " " + path);
    // Served, it would run until stopped: the deadline ends it.
    Program p = Spawn({"--baud", "0", option, path});
    EXPECT_EQ(WaitExit(p.pid), 2);
    const std::string out = ReadUntil(p.out, "z500-sim: " + option + ": " + path + ": ");
    EXPECT_NE(out.find("z500-sim: " + option + ": " + path + ": "), std::string::npos) << out;
    EXPECT_EQ(out.find("QUARLCOMM_PORTS="), std::string::npos) << "the receiver was served: " << out;
    ::close(p.out);
  }
  ::rmdir(dir);
}
