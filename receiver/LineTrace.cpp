#include "LineTrace.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "FrameNames.h"

namespace Z500 {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// The queue's bound: beyond it records are dropped, not waited for.
constexpr size_t MaxQueuedRecords = 4096;
constexpr size_t MaxQueuedBytes = 1 << 20;
// A writer that cannot get rid of what is queued gives up this long after
// the trace is asked to end (a FIFO nobody reads), so closing never hangs.
constexpr auto StopGrace = 1s;
// How long one look at a full pipe or slow device lasts.
constexpr int WritablePollMs = 100;

struct TRecord {
  uint64_t Ms;
  std::string Port;
  TTraceDirection Direction;
  TTraceKind Kind;
  std::vector<uint8_t> Bytes;
};

std::string RecordName(const TRecord& r) {
  if (r.Kind == TTraceKind::Raw) return "raw";
  return r.Direction == TTraceDirection::Sent ? SentFrameName(r.Bytes) : ReceivedPackageName(r.Bytes);
}

void AppendLine(std::string& out, const TRecord& r) {
  static constexpr char Digits[] = "0123456789ABCDEF";
  out += std::to_string(r.Ms);
  if (!r.Port.empty()) out += ' ' + r.Port;
  out += r.Direction == TTraceDirection::Sent ? " >" : " <";
  for (const uint8_t b : r.Bytes) {
    out += ' ';
    out += Digits[b >> 4];
    out += Digits[b & 0x0F];
  }
  out += ' ';
  out += RecordName(r);
  out += '\n';
}

}  // namespace

struct TLineTrace::TWriter {
  std::string Path;
  std::function<void(const std::string&)> Report;
  const Clock::time_point Start = Clock::now();
  std::atomic<bool> FailedFlag{false};
  std::atomic<uint64_t> DroppedCount{0};
  std::mutex Lock;
  std::condition_variable Wake;
  std::vector<TRecord> Queue;  // Lock
  size_t QueuedBytes = 0;      // Lock
  bool Stopping = false;       // Lock
  Clock::time_point StopAt;    // Lock: when Stopping was set
  int Fd = -1;                 // the writer thread's alone
  std::thread Thread;

  void Run();
  void Fail(const char* what, int error);
  bool WriteAll(const std::string& text);
  bool GiveUp();
};

void TLineTrace::TWriter::Fail(const char* what, int error) {
  if (FailedFlag.exchange(true, std::memory_order_acq_rel)) return;
  if (Report) Report("line trace: cannot " + std::string(what) + " " + Path + ": " + std::strerror(error));
}

bool TLineTrace::TWriter::GiveUp() {
  std::lock_guard lock(Lock);
  return Stopping && Clock::now() - StopAt >= StopGrace;
}

// Writes `text` whole. The file is non-blocking, so a pipe nobody empties
// is waited on in short looks, each of which may end the write when the
// trace is closing.
bool TLineTrace::TWriter::WriteAll(const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(Fd, text.data() + done, text.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && errno == EAGAIN) {
      pollfd p{Fd, POLLOUT, 0};
      ::poll(&p, 1, WritablePollMs);
      if (GiveUp()) return false;
    } else {
      Fail("write", n < 0 ? errno : EIO);
      return false;
    }
  }
  return true;
}

void TLineTrace::TWriter::Run() {
  Fd = ::open(Path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0644);
  if (Fd < 0) Fail("open", errno);
  std::vector<TRecord> batch;
  std::string text;
  for (;;) {
    {
      std::unique_lock lock(Lock);
      Wake.wait(lock, [this] { return !Queue.empty() || Stopping; });
      if (Queue.empty()) break;
      batch.swap(Queue);
      QueuedBytes = 0;
    }
    text.clear();
    for (const TRecord& r : batch) AppendLine(text, r);
    // One write per batch: what a killed program leaves is whole up to it.
    if (FailedFlag.load(std::memory_order_acquire) || !WriteAll(text))
      DroppedCount.fetch_add(batch.size(), std::memory_order_relaxed);
    batch.clear();
  }
  if (Fd >= 0) ::close(Fd);
}

TLineTrace::TLineTrace(const std::string& path, std::function<void(const std::string&)> report)
    : Writer(std::make_unique<TWriter>()) {
  Writer->Path = path;
  Writer->Report = std::move(report);
  // Opening is the thread's too: a path on a hung file system must not hold
  // up whoever starts the trace.
  Writer->Thread = std::thread([w = Writer.get()] { w->Run(); });
}

TLineTrace::~TLineTrace() {
  {
    std::lock_guard lock(Writer->Lock);
    Writer->Stopping = true;
    Writer->StopAt = Clock::now();
  }
  Writer->Wake.notify_one();
  Writer->Thread.join();
}

void TLineTrace::Record(const std::string& port, TTraceDirection direction, TTraceKind kind,
                        std::span<const uint8_t> bytes) {
  TWriter& w = *Writer;
  if (w.FailedFlag.load(std::memory_order_acquire)) {
    w.DroppedCount.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  TRecord record{0, port, direction, kind, {bytes.begin(), bytes.end()}};
  bool wake = false;
  {
    std::lock_guard lock(w.Lock);
    if (w.Queue.size() >= MaxQueuedRecords || w.QueuedBytes + bytes.size() > MaxQueuedBytes) {
      w.DroppedCount.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    // Taken under the lock, so the times in the file never go back.
    record.Ms = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - w.Start).count());
    wake = w.Queue.empty();
    w.QueuedBytes += bytes.size();
    w.Queue.push_back(std::move(record));
  }
  if (wake) w.Wake.notify_one();
}

bool TLineTrace::Failed() const { return Writer->FailedFlag.load(std::memory_order_acquire); }

uint64_t TLineTrace::Dropped() const { return Writer->DroppedCount.load(std::memory_order_relaxed); }

}  // namespace Z500
