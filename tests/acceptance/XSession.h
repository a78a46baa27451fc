// A virtual X screen for driving a program as a user would: its own Xvfb,
// xdotool for the mouse and keyboard and for finding windows, ImageMagick's
// import for pictures, and the programs started on it. Every child process
// is killed and reaped when its owner goes, and every wait has a deadline.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace acceptance {

// A started child; the destructor ends it (SIGTERM, then SIGKILL after a
// grace period) and reaps it.
class ChildProcess {
public:
  ChildProcess() = default;
  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&& other) noexcept;
  ~ChildProcess();

  // Starts argv[0] (looked up in PATH) with the test's environment, in
  // folder `workDir` when given; its standard output and error go to `log` (appended; the test's
  // own when empty), and with `passFd`, that descriptor becomes the child's
  // descriptor 3.
  static ChildProcess Spawn(const std::vector<std::string>& argv, const std::filesystem::path& workDir = {},
                            const std::filesystem::path& log = {}, int passFd = -1);

  pid_t Pid() const { return pid_; }
  bool Running();
  void Terminate();
  // Sends `signal` and waits up to `timeout` for the child to end: its wait
  // status once reaped, nothing when it is still running.
  std::optional<int> Signal(int signal, std::chrono::milliseconds timeout);

private:
  pid_t pid_ = -1;
};

// What a short command printed and how it ended.
struct CommandResult {
  bool exited = false;  // ran to its end before the deadline
  int status = -1;      // its exit status when it did
  std::string out;      // its standard output
  bool Ok() const { return exited && status == 0; }
};

// Runs a command to its end, collecting its standard output; killed at the
// deadline. With `quiet`, its error output is dropped.
CommandResult RunCommand(const std::vector<std::string>& argv, std::chrono::milliseconds timeout, bool quiet = false);

// A rectangle on the screen.
struct Rect {
  int x = 0, y = 0, width = 0, height = 0;
  Rect United(const Rect& other) const;
};

struct Window {
  std::string id;
  std::string name;
  Rect frame;
};

// True when `program` is found in PATH.
bool HaveProgram(const std::string& program);

class XSession {
public:
  // Starts Xvfb on a free display with a screen of the given size; Started()
  // says whether it came up. Once it has, the test's environment names the
  // display (and a private runtime folder, as Qt wants one), so that every
  // program started afterwards shows on this screen.
  XSession(int width, int height);
  ~XSession();
  XSession(const XSession&) = delete;
  XSession& operator=(const XSession&) = delete;

  bool Started() const { return !display_.empty(); }
  // What Xvfb said, to explain a start that failed.
  std::string ServerLog() const;
  const std::string& Display() const { return display_; }
  // A private folder that goes with the session.
  const std::filesystem::path& Folder() const { return folder_; }

  // Runs xdotool with `args`; false when it failed. With `quiet`, for
  // questions about windows that may close meanwhile, its complaints are
  // dropped.
  bool Xdo(const std::vector<std::string>& args, std::string* out = nullptr, bool quiet = false);
  // The input a user gives; each is false when xdotool failed.
  [[nodiscard]] bool Click(int x, int y);
  [[nodiscard]] bool Key(const std::string& keys);  // e.g. "Return", "ctrl+a"
  [[nodiscard]] bool Type(const std::string& text);
  // Gives the keyboard to window `id` (there is no window manager to do it).
  [[nodiscard]] bool Focus(const std::string& id);

  // The visible windows of process `pid`, optionally only those whose name
  // matches the regular expression `name`.
  std::vector<Window> Windows(pid_t pid, const std::string& name = {});
  // Waits for a visible window of `pid` named like `name` other than those in
  // `known`.
  std::optional<Window> WaitForWindow(pid_t pid, const std::string& name, std::chrono::milliseconds timeout,
                                      const std::vector<std::string>& known = {});
  // Waits until window `id` is no longer visible.
  bool WaitUntilGone(pid_t pid, const std::string& id, std::chrono::milliseconds timeout);

  // Saves a PNG of the screen, or of `area` of it.
  bool Screenshot(const std::filesystem::path& file, std::optional<Rect> area = std::nullopt);

private:
  std::filesystem::path folder_;
  std::string display_;
  ChildProcess server_;
};

}  // namespace acceptance
