// The process's own figures, from getrusage and /proc: CPU time, open
// descriptors, threads and resident memory, for tests that check nothing
// spins or leaks.
#pragma once

#include <sys/resource.h>
#include <unistd.h>

#include <QEventLoop>
#include <QThreadPool>
#include <QTimer>

#include <filesystem>
#include <fstream>
#include <string>

#include "comm/PtyPair.h"  // CountEntries

namespace figures {

// User and system CPU seconds of all the process's threads so far.
inline double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  auto s = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
  return s(u.ru_utime) + s(u.ru_stime);
}

// Runs the event loop for `ms`, as the program would sit idle, and returns
// the CPU seconds the whole process used meanwhile.
inline double CpuWhileIdle(int ms = 1000) {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  const double before = CpuSeconds();
  loop.exec();
  return CpuSeconds() - before;
}

// Qt's raster painting borrows threads of the global pool and starts one
// more when the others are busy (as they are on a loaded machine); each
// holds a descriptor of its event loop until it has been idle for 30 s.
// The pool is not the program's: it is emptied first, waiting for work
// under way up to `ms`, so that neither its threads nor their descriptors
// count.
inline void RetireQtPoolThreads(int ms = 5000) { QThreadPool::globalInstance()->waitForDone(ms); }

inline int Descriptors() {
  RetireQtPoolThreads();
  return CountEntries("/proc/self/fd");
}

// Threads of the process, leaving out the pooled ones Qt's raster painting
// borrows (see RetireQtPoolThreads).
inline int Threads() {
  int n = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(task.path() / "comm");
    std::string name;
    // A thread that ended after the listing (a pooled one just retired)
    // has no name left to read: it is gone, not counted.
    if (std::getline(comm, name) && name != "Thread (pooled)") ++n;
  }
  return n;
}

// Descriptors open on the device `path` (such as /dev/pts/3), also once
// its node has gone.
inline int DescriptorsOn(const std::string& path) {
  int n = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    const std::string link = std::filesystem::read_symlink(entry.path(), ec).string();
    if (!ec && (link == path || link == path + " (deleted)")) ++n;
  }
  return n;
}

// Resident memory in KiB (VmRSS).
inline long RssKiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

}  // namespace figures
