// How much of a wall-clock span a loaded machine took from this process:
// the time its threads were ready to run but waited for a processor. An
// upper bound on a span, less that wait, stays tight on a busy machine and
// still tells a thread that slept too long from one that was not let run.
#pragma once

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

namespace simtest {

class CpuWait {
public:
  CpuWait() : start_(Now()) {}

  // The run-queue wait since construction of the threads alive now; a
  // thread that has ended meanwhile is not counted (its record is gone).
  // 0 where the kernel does not keep the record.
  std::chrono::nanoseconds Since() const {
    std::chrono::nanoseconds total{0};
    for (const auto& [thread, waited] : Now()) {
      const auto before = start_.find(thread);
      total += std::chrono::nanoseconds(waited - (before == start_.end() ? 0 : before->second));
    }
    return total;
  }

private:
  // Each thread's wait so far: the second field of its /proc schedstat.
  static std::map<std::string, long long> Now() {
    std::map<std::string, long long> waits;
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", error)) {
      std::ifstream stat(task.path() / "schedstat");
      long long running = 0, waited = 0;
      if (stat >> running >> waited) waits[task.path().filename().string()] = waited;
    }
    return waits;
  }

  std::map<std::string, long long> start_;
};

}  // namespace simtest
