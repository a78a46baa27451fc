#include "XSession.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

extern char** environ;

namespace acceptance {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

constexpr auto kPollPause = 50ms;
constexpr auto kCommandLimit = 10s;

// Closes a descriptor when it goes out of scope.
struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
  void Close() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
};

struct Pipe {
  Fd read, write;
  Pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) == 0) {
      read.fd = fds[0];
      write.fd = fds[1];
    }
  }
};

int RemainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Reads from `fd` until end of file, `stopAt` in the data, or the deadline.
// False at the deadline.
bool ReadUntil(int fd, std::string& out, Clock::time_point deadline, char stopAt = '\0') {
  for (;;) {
    if (stopAt && out.find(stopAt) != std::string::npos) return true;
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, RemainingMs(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    char buffer[4096];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return true;
    out.append(buffer, static_cast<size_t>(n));
  }
}

std::vector<char*> Arguments(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  return args;
}

// posix_spawnp with file actions prepared by `prepare`; -1 on failure.
template <class Prepare>
pid_t Start(const std::vector<std::string>& argv, Prepare prepare) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  prepare(actions);
  std::vector<char*> args = Arguments(argv);
  pid_t pid = -1;
  if (::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

std::string Field(const std::string& shell, const std::string& name) {
  std::istringstream lines(shell);
  for (std::string line; std::getline(lines, line);)
    if (line.rfind(name + "=", 0) == 0) return line.substr(name.size() + 1);
  return {};
}

}  // namespace

ChildProcess::ChildProcess(ChildProcess&& other) noexcept : pid_(other.pid_) { other.pid_ = -1; }

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    Terminate();
    pid_ = other.pid_;
    other.pid_ = -1;
  }
  return *this;
}

ChildProcess::~ChildProcess() { Terminate(); }

ChildProcess ChildProcess::Spawn(const std::vector<std::string>& argv, const std::filesystem::path& workDir,
                                 const std::filesystem::path& log, int passFd) {
  // A descriptor that is already 3 would keep its close-on-exec flag.
  Fd moved;
  if (passFd == 3) passFd = moved.fd = ::fcntl(passFd, F_DUPFD_CLOEXEC, 10);
  ChildProcess child;
  child.pid_ = Start(argv, [&](posix_spawn_file_actions_t& actions) {
    if (!log.empty()) {
      posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      posix_spawn_file_actions_adddup2(&actions, 1, 2);
    }
    if (passFd >= 0) posix_spawn_file_actions_adddup2(&actions, passFd, 3);
    if (!workDir.empty()) posix_spawn_file_actions_addchdir_np(&actions, workDir.c_str());
  });
  return child;
}

bool ChildProcess::Running() {
  if (pid_ <= 0) return false;
  if (::waitpid(pid_, nullptr, WNOHANG) == 0) return true;
  pid_ = -1;  // reaped (or not ours any more)
  return false;
}

void ChildProcess::Terminate() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  const auto deadline = Clock::now() + 5s;
  while (Clock::now() < deadline) {
    if (::waitpid(pid_, nullptr, WNOHANG) != 0) {
      pid_ = -1;
      return;
    }
    std::this_thread::sleep_for(20ms);
  }
  ::kill(pid_, SIGKILL);
  while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
}

std::optional<int> ChildProcess::Signal(int signal, std::chrono::milliseconds timeout) {
  if (pid_ <= 0 || ::kill(pid_, signal) != 0) return std::nullopt;
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return status;
    }
    if (Clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(20ms);
  }
}

CommandResult RunCommand(const std::vector<std::string>& argv, std::chrono::milliseconds timeout, bool quiet) {
  CommandResult result;
  Pipe output;
  if (output.read.fd < 0) return result;
  const pid_t pid = Start(argv, [&](posix_spawn_file_actions_t& actions) {
    posix_spawn_file_actions_adddup2(&actions, output.write.fd, 1);
    if (quiet) posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  });
  output.write.Close();
  if (pid <= 0) return result;
  const bool ended = ReadUntil(output.read.fd, result.out, Clock::now() + timeout);
  if (!ended) ::kill(pid, SIGKILL);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.exited = ended && WIFEXITED(status);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

Rect Rect::United(const Rect& other) const {
  const int left = std::min(x, other.x), top = std::min(y, other.y);
  const int right = std::max(x + width, other.x + other.width);
  const int bottom = std::max(y + height, other.y + other.height);
  return {left, top, right - left, bottom - top};
}

bool HaveProgram(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path ? path : "/usr/bin:/bin");
  for (std::string dir; std::getline(dirs, dir, ':');)
    if (!dir.empty() && ::access((dir + "/" + program).c_str(), X_OK) == 0) return true;
  return false;
}

XSession::XSession(int width, int height) {
  std::string folder = (std::filesystem::temp_directory_path() / "z500-screen-XXXXXX").string();
  if (!::mkdtemp(folder.data())) return;
  folder_ = folder;

  // Xvfb picks a free display itself and writes its number to descriptor 3
  // once it accepts clients. No reset when the last client leaves: a program
  // started again at once would find the server away meanwhile.
  Pipe ready;
  if (ready.read.fd < 0) return;
  server_ = ChildProcess::Spawn({"Xvfb", "-displayfd", "3", "-screen", "0",
                                 std::to_string(width) + "x" + std::to_string(height) + "x24", "-nolisten", "tcp",
                                 "-noreset"},
                                {}, folder_ / "xvfb.log", ready.write.fd);
  ready.write.Close();
  if (server_.Pid() <= 0) return;
  std::string number;
  if (!ReadUntil(ready.read.fd, number, Clock::now() + 15s, '\n')) return;
  number.erase(number.find_last_not_of("\r\n ") + 1);
  if (number.empty()) return;
  display_ = ":" + number;
  ::setenv("DISPLAY", display_.c_str(), 1);
  ::setenv("XDG_RUNTIME_DIR", folder_.c_str(), 1);
}

XSession::~XSession() {
  server_.Terminate();
  std::error_code ignored;
  if (!folder_.empty()) std::filesystem::remove_all(folder_, ignored);
}

std::string XSession::ServerLog() const {
  std::ifstream log(folder_ / "xvfb.log");
  return std::string(std::istreambuf_iterator<char>(log), {});
}

bool XSession::Xdo(const std::vector<std::string>& args, std::string* out, bool quiet) {
  std::vector<std::string> argv{"xdotool"};
  argv.insert(argv.end(), args.begin(), args.end());
  CommandResult r = RunCommand(argv, kCommandLimit, quiet);
  if (out) *out = std::move(r.out);
  return r.Ok();
}

bool XSession::Click(int x, int y) {
  return Xdo({"mousemove", "--sync", std::to_string(x), std::to_string(y), "click", "1"});
}

bool XSession::Key(const std::string& keys) { return Xdo({"key", keys}); }

bool XSession::Type(const std::string& text) { return Xdo({"type", "--delay", "30", text}); }

bool XSession::Focus(const std::string& id) { return Xdo({"windowfocus", "--sync", id}); }

std::vector<Window> XSession::Windows(pid_t pid, const std::string& name) {
  std::string ids;
  // Exits with 1 when nothing matches.
  Xdo({"search", "--all", "--onlyvisible", "--pid", std::to_string(pid)}, &ids, true);
  std::vector<Window> found;
  std::istringstream lines(ids);
  for (std::string id; std::getline(lines, id);) {
    if (id.empty()) continue;
    Window w{id, {}, {}};
    std::string geometry;
    // A window may close between the search and these questions.
    if (!Xdo({"getwindowname", id}, &w.name, true) || !Xdo({"getwindowgeometry", "--shell", id}, &geometry, true))
      continue;
    if (!w.name.empty() && w.name.back() == '\n') w.name.pop_back();
    if (!name.empty() && w.name != name) continue;
    w.frame = {std::atoi(Field(geometry, "X").c_str()), std::atoi(Field(geometry, "Y").c_str()),
               std::atoi(Field(geometry, "WIDTH").c_str()), std::atoi(Field(geometry, "HEIGHT").c_str())};
    found.push_back(std::move(w));
  }
  return found;
}

std::optional<Window> XSession::WaitForWindow(pid_t pid, const std::string& name, std::chrono::milliseconds timeout,
                                              const std::vector<std::string>& known) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    for (Window& w : Windows(pid, name))
      if (std::find(known.begin(), known.end(), w.id) == known.end()) return std::move(w);
    if (Clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(kPollPause);
  }
}

bool XSession::WaitUntilGone(pid_t pid, const std::string& id, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    const std::vector<Window> shown = Windows(pid);
    if (std::none_of(shown.begin(), shown.end(), [&](const Window& w) { return w.id == id; })) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kPollPause);
  }
}

bool XSession::Screenshot(const std::filesystem::path& file, std::optional<Rect> area) {
  std::vector<std::string> argv{"import", "-window", "root"};
  if (area)
    argv.insert(argv.end(), {"-crop",
                             std::to_string(area->width) + "x" + std::to_string(area->height) + "+" +
                                 std::to_string(area->x) + "+" + std::to_string(area->y),
                             "+repage"});
  argv.push_back("png:" + file.string());
  return RunCommand(argv, 30s).Ok();
}

}  // namespace acceptance
