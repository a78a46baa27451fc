// What the benchmarks share: clocks, CPU time, medians and percentiles, and
// a repeat of a measurement whose median is reported.
#pragma once

#include <pthread.h>
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }
inline double Micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }
inline double Millis(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// CPU seconds of the whole process, user and system.
inline double ProcessCpu() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// CPU seconds of one running thread (0 once it has been joined).
inline double ThreadCpu(std::thread& t) {
  clockid_t id;
  timespec ts{};
  if (!t.joinable() || ::pthread_getcpuclockid(t.native_handle(), &id) != 0 || ::clock_gettime(id, &ts) != 0)
    return 0;
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// CPU seconds of the calling thread.
inline double OwnThreadCpu() {
  timespec ts{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// The value at fraction q (0..1) of the sorted values.
inline double Quantile(std::vector<double> v, double q) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t i = std::min(v.size() - 1, static_cast<size_t>(q * static_cast<double>(v.size())));
  return v[i];
}
inline double Median(std::vector<double> v) { return Quantile(std::move(v), 0.5); }

// Reads a count from the environment (for quick runs), or the default.
inline long EnvCount(const char* name, long fallback) {
  const char* v = std::getenv(name);
  return v != nullptr && *v != '\0' ? std::strtol(v, nullptr, 10) : fallback;
}

}  // namespace bench
