// A pseudo-terminal pair for serial tests: the test holds the master side
// and keeps a slave descriptor (to read its settings back); the code under
// test opens the slave by its path.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

struct PtyPair {
  int Master = -1;
  int Slave = -1;
  std::string Path;

  PtyPair() {
    char name[128];
    if (::openpty(&Master, &Slave, name, nullptr, nullptr) != 0) return;
    Path = name;
    termios t{};
    ::tcgetattr(Slave, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(Slave, TCSANOW, &t);
    ::fcntl(Master, F_SETFL, ::fcntl(Master, F_GETFL) | O_NONBLOCK);
  }
  ~PtyPair() {
    CloseMaster();
    if (Slave >= 0) ::close(Slave);
  }
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  void CloseMaster() {
    if (Master >= 0) ::close(Master);
    Master = -1;
  }

  // Writes all of `data` to the master side; false when the other side
  // stopped taking bytes for `timeoutMs`.
  bool Send(const void* data, size_t n, int timeoutMs = 5000) {
    const auto* p = static_cast<const unsigned char*>(data);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (n > 0) {
      const ssize_t w = ::write(Master, p, n);
      if (w < 0) {
        if (errno != EAGAIN || std::chrono::steady_clock::now() >= deadline) return false;
        pollfd f{Master, POLLOUT, 0};
        ::poll(&f, 1, 100);
        continue;
      }
      p += w;
      n -= static_cast<size_t>(w);
    }
    return true;
  }
  bool Send(const std::string& s) { return Send(s.data(), s.size()); }

  // Reads from the master side until `n` bytes came or `timeoutMs` passed.
  std::string Receive(size_t n, int timeoutMs = 2000) {
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char buf[4096];
    while (out.size() < n) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
      if (left <= 0) break;
      pollfd f{Master, POLLIN, 0};
      if (::poll(&f, 1, static_cast<int>(left)) <= 0) continue;
      const ssize_t r = ::read(Master, buf, std::min(sizeof buf, n - out.size()));
      if (r > 0) out.append(buf, static_cast<size_t>(r));
      else if (r == 0 || errno != EAGAIN) break;
    }
    return out;
  }
};

// Entries of a /proc/self directory: open descriptors or threads.
inline int CountEntries(const char* dir) {
  int n = 0;
  if (DIR* d = ::opendir(dir)) {
    while (const dirent* e = ::readdir(d))
      if (e->d_name[0] != '.') ++n;
    ::closedir(d);
  }
  return n;
}
