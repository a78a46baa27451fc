#include "Simulator.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>

namespace z500sim {

namespace {

using namespace std::chrono;

// After the hangup fault's last answer has left, the line stays up this much
// longer so that the tool has read it when the "cable" goes.
constexpr milliseconds kHangupGrace{20};

nanoseconds ByteTime(uint32_t baud) { return baud ? nanoseconds(10'000'000'000LL / baud) : nanoseconds(0); }

std::optional<Clock::time_point> Earliest(std::optional<Clock::time_point> a, std::optional<Clock::time_point> b) {
  if (!a) return b;
  if (!b) return a;
  return std::min(*a, *b);
}

}  // namespace

Simulator::Simulator(UniqueFd line, const Options& options, TraceSink trace)
    : line_(std::move(line)),
      options_(options),
      trace_(std::move(trace)),
      byteTime_(ByteTime(options.baud)),
      // About 10 ms of line time per write, at least one byte.
      chunk_(std::max<size_t>(1, options.baud / 1000)),
      receiver_(options) {
  slavePath_ = SlavePathOf(line_.Get());
  if (slavePath_.empty()) return;
  heldSlave_.Reset(::open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
  // Without the watch (no inotify left) a stale mark stays, as it always did.
  closeWatch_.Reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (closeWatch_ && ::inotify_add_watch(closeWatch_.Get(), slavePath_.c_str(), IN_CLOSE) < 0) closeWatch_.Reset();
}

Simulator::~Simulator() { Stop(); }

void Simulator::Start() {
  if (thread_.joinable() || stop_.load(std::memory_order_acquire)) return;
  thread_ = std::thread([this] { Run(); });
}

void Simulator::Stop() {
  stop_.store(true, std::memory_order_release);
  wake_.Signal();
  if (thread_.joinable()) thread_.join();
  line_.Reset();
  heldSlave_.Reset();
  closeWatch_.Reset();
}

void Simulator::Inject(Bytes bytes) {
  {
    std::lock_guard lock(mutex_);
    injected_.push_back(std::move(bytes));
  }
  wake_.Signal();
}

void Simulator::Run() {
  nextSentence_ = Clock::now() + milliseconds(options_.logPeriodMs);
  while (!stop_.load(std::memory_order_acquire)) {
    const auto now = Clock::now();
    Wait(Step(now), now);
  }
}

std::optional<Clock::time_point> Simulator::Step(Clock::time_point now) {
  bool logging;
  {
    std::lock_guard lock(mutex_);
    for (Bytes& b : injected_) Enqueue({{milliseconds(0), false, std::move(b), false}, now, {}, 0});
    injected_.clear();
    logging = receiver_.Logging();
  }
  const std::optional<Clock::time_point> arrival = Deliver(now);
  const bool heldBack = !arrival && !inbound_.empty();
  std::optional<Clock::time_point> wakeAt = arrival;
  if (logging && line_) {
    if (now >= nextSentence_) {
      // A receiver busy answering skips a sentence rather than queue it.
      if (queue_.empty())
        Enqueue({{milliseconds(0), false, Receiver::PositionSentence(std::time(nullptr)), false}, now, {}, 0});
      nextSentence_ += milliseconds(options_.logPeriodMs);
      if (nextSentence_ <= now) nextSentence_ = now + milliseconds(options_.logPeriodMs);
    }
    wakeAt = Earliest(wakeAt, nextSentence_);
  }
  wakeAt = Earliest(wakeAt, Send(now));
  // Output that has left made room for the frames held back, or the mark is
  // to be looked at again: round again at once.
  if ((heldBack && !QueueFull()) || markCheckDue_) wakeAt = now;
  if (hangupAt_) {
    if (now >= *hangupAt_) {
      CloseLine("closed (hangup fault)");
      hangupAt_.reset();
      return now;
    }
    wakeAt = Earliest(wakeAt, hangupAt_);
  }
  heldOutputs_.store(queue_.size(), std::memory_order_relaxed);
  heldOutputBytes_.store(queuedBytes_, std::memory_order_relaxed);
  heldInbound_.store(inbound_.size(), std::memory_order_relaxed);
  return wakeAt;
}

void Simulator::Wait(std::optional<Clock::time_point> wakeAt, Clock::time_point now) {
  // A line carries no more than its rate, and a receiver answers no faster:
  // bytes written faster wait in the pty, as in a driver's buffer, and hold
  // the sender back, rather than pile up here without bound.
  const short lineEvents = inbound_.size() < kMaxInbound && !QueueFull() ? POLLIN : 0;
  pollfd fds[3] = {{wake_.Get(), POLLIN, 0}, {closeWatch_.Get(), POLLIN, 0}, {line_.Get(), lineEvents, 0}};
  if (waitWritable_) fds[2].events |= POLLOUT;
  timespec timeout{};
  if (wakeAt) {
    const auto left = std::max(nanoseconds(0), duration_cast<nanoseconds>(*wakeAt - now));
    timeout.tv_sec = static_cast<time_t>(duration_cast<seconds>(left).count());
    timeout.tv_nsec = static_cast<long>((left % seconds(1)).count());
  }
  const int ready = ::ppoll(fds, 3, wakeAt ? &timeout : nullptr, nullptr);
  if (ready < 0) {
    if (errno != EINTR) CloseLine("failed: poll");
    return;
  }
  if (fds[0].revents & POLLIN) wake_.Drain();
  if ((fds[1].revents & POLLIN) && TakeCloses() > 0) markCheckDue_ = true;
  if (markCheckDue_) LiftStaleMark();
  if (!line_) return;
  if (fds[2].revents & POLLOUT) waitWritable_ = false;
  if (fds[2].revents & POLLIN) ReadLine(Clock::now());
  else if (fds[2].revents & (POLLHUP | POLLERR | POLLNVAL)) CloseLine("lost (hangup on the line)");
}

void Simulator::ReadLine(Clock::time_point now) {
  uint8_t buffer[4096];
  const ssize_t n = ::read(line_.Get(), buffer, sizeof buffer);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
  if (n <= 0) {
    CloseLine("lost (read failed)");
    return;
  }
  // On a line each byte arrives one byte time after the one before it, or
  // after it was read when the line was idle.
  for (ssize_t i = 0; i < n; ++i) {
    inboundLineFree_ = std::max(inboundLineFree_, now) + byteTime_;
    inbound_.push_back(buffer[i]);
    arrivals_.push_back(inboundLineFree_);
  }
}

std::optional<Clock::time_point> Simulator::Deliver(Clock::time_point now) {
  while (!inbound_.empty() && !QueueFull()) {
    std::vector<Reaction> reactions;
    Clock::time_point at;
    {
      std::lock_guard lock(mutex_);
      // Up to the end of the next frame, or all that was read when no frame
      // ends in it (a partial frame, or bytes between frames).
      const size_t count =
          receiver_.FrameEndWithin(inbound_.data(), inbound_.size(), arrivals_.front()).value_or(inbound_.size());
      at = arrivals_[count - 1];
      if (now < at) return at;
      reactions = receiver_.Feed(inbound_.data(), count, arrivals_.front(), at);
      inbound_.erase(inbound_.begin(), inbound_.begin() + static_cast<ptrdiff_t>(count));
      arrivals_.erase(arrivals_.begin(), arrivals_.begin() + static_cast<ptrdiff_t>(count));
      for (const Reaction& r : reactions) {
        if (r.frame.kind != FrameKind::Garbage) Record({at, r.frame.kind, r.frame.bytes, r.frame.checkOk});
      }
    }
    framesChanged_.notify_all();
    for (Reaction& r : reactions) {
      if (trace_) Trace("in ", r.frame.bytes, DescribeReceived(r.frame));
      if (r.outputs.empty() && r.frame.kind != FrameKind::Garbage && r.frame.kind != FrameKind::Unlog && trace_)
        Trace("   ", {}, "(no answer)");
      for (Output& o : r.outputs) Enqueue({std::move(o), at, {}, 0});
    }
  }
  return std::nullopt;
}

std::optional<Clock::time_point> Simulator::Send(Clock::time_point now) {
  while (!queue_.empty() && line_ && !waitWritable_) {
    Pending& p = queue_.front();
    if (!p.due) p.due = (p.output.afterPrevious ? std::max(lastFinish_, p.queued) : p.queued) + p.output.delay;
    const Bytes& bytes = p.output.bytes;
    if (p.sent < bytes.size()) {
      // A byte is "out" once the line has carried it: write each chunk when
      // its last byte would have arrived at the other end.
      const size_t n = byteTime_.count() ? std::min(chunk_, bytes.size() - p.sent) : bytes.size() - p.sent;
      const auto ready = std::max(*p.due, lineFree_) + byteTime_ * static_cast<int64_t>(n);
      if (now < ready) return ready;
      const ssize_t written = ::write(line_.Get(), bytes.data() + p.sent, n);
      if (written < 0) {
        if (errno == EINTR) continue;
        if (errno == EAGAIN) {
          waitWritable_ = true;  // the other side is not reading; wait for room
          return std::nullopt;
        }
        CloseLine("lost (write failed)");
        return std::nullopt;
      }
      if (p.sent == 0 && trace_) Trace("out", bytes, DescribeSent(bytes));
      p.sent += static_cast<size_t>(written);
      bytesSent_.fetch_add(static_cast<uint64_t>(written), std::memory_order_relaxed);
      lineFree_ = now;
      if (p.sent < bytes.size()) continue;
    } else if (now < *p.due) {
      return *p.due;  // nothing to send, only the hangup to time
    }
    lastFinish_ = std::max(lineFree_, *p.due);
    if (p.output.hangup) hangupAt_ = lastFinish_ + kHangupGrace;
    Dequeue();
  }
  return std::nullopt;
}

void Simulator::Record(ReceivedFrame frame) {
  ++received_[static_cast<size_t>(frame.kind)];
  recordBytes_ += frame.bytes.size();
  frames_.push_back(std::move(frame));
  while (!frames_.empty() && (frames_.size() > options_.keptFrames || recordBytes_ > kMaxRecordBytes)) {
    recordBytes_ -= frames_.front().bytes.size();
    frames_.pop_front();
  }
}

void Simulator::Enqueue(Pending pending) {
  queuedBytes_ += pending.output.bytes.size();
  queue_.push_back(std::move(pending));
}

void Simulator::Dequeue() {
  queuedBytes_ -= queue_.front().output.bytes.size();
  queue_.pop_front();
}

size_t Simulator::TakeCloses() {
  size_t closes = 0;
  alignas(inotify_event) char buffer[4096];
  ssize_t n;
  while ((n = ::read(closeWatch_.Get(), buffer, sizeof buffer)) > 0) {
    for (ssize_t at = 0; at < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      if (event->mask & IN_CLOSE) ++closes;
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
  return closes;
}

// A client that set exclusive mode on the slave and was killed leaves the
// mark behind: the tty lives on while we hold it, and every later open is
// refused as busy (root's too, by tools that honour the mark). Whether
// anyone else still has the slave open shows only when ours is closed too:
// the master then sees a hangup. The mark is lifted first, since without it
// we could not open the slave again, and put back when a holder is there.
void Simulator::LiftStaleMark() {
  markCheckDue_ = false;
  int marked = 0;
  if (!line_ || !heldSlave_ || ::ioctl(heldSlave_.Get(), TIOCGEXCL, &marked) != 0 || !marked) return;
  ::ioctl(heldSlave_.Get(), TIOCNXCL);
  heldSlave_.Reset();
  pollfd master{line_.Get(), 0, 0};
  const bool held = !(::poll(&master, 1, 0) == 1 && (master.revents & POLLHUP));
  heldSlave_.Reset(::open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
  if (held && heldSlave_) ::ioctl(heldSlave_.Get(), TIOCEXCL);
  if (trace_) {
    Trace("---", {}, !heldSlave_ ? "line: cannot hold the slave open again"
                     : held     ? "line: exclusive mode kept, a client still has the line open"
                                : "line: cleared the exclusive mode a closed client left");
  }
  // Our own close is one of the closes seen now; more mean that another
  // descriptor closed meanwhile, so the mark is looked at again.
  markCheckDue_ = TakeCloses() > 1;
}

void Simulator::CloseLine(const char* why) {
  if (!line_) return;
  line_.Reset();
  heldSlave_.Reset();
  closeWatch_.Reset();
  queue_.clear();
  queuedBytes_ = 0;
  inbound_.clear();
  arrivals_.clear();
  waitWritable_ = false;
  lineClosed_.store(true, std::memory_order_release);
  closedEvent_.Signal();
  if (trace_) Trace("---", {}, std::string("line ") + why);
}

void Simulator::Trace(const char* direction, const Bytes& bytes, const std::string& meaning) {
  const double t = duration<double>(Clock::now() - started_).count();
  char head[32];
  std::snprintf(head, sizeof head, "[%10.6f] %s ", t, direction);
  std::string line = head;
  if (!bytes.empty()) line += Hex(bytes) + "  | ";
  line += meaning;
  trace_(line);
}

std::vector<ReceivedFrame> Simulator::Frames() const {
  std::lock_guard lock(mutex_);
  return {frames_.begin(), frames_.end()};
}

bool Simulator::WaitForFrames(FrameKind kind, size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return framesChanged_.wait_for(lock, timeout, [&] { return received_[static_cast<size_t>(kind)] >= count; });
}

uint64_t Simulator::Received(FrameKind kind) const {
  std::lock_guard lock(mutex_);
  return received_[static_cast<size_t>(kind)];
}

Holdings Simulator::Held() const {
  Holdings h;
  {
    std::lock_guard lock(mutex_);
    h.frames = frames_.size();
    h.frameBytes = recordBytes_;
  }
  h.queuedOutputs = heldOutputs_.load(std::memory_order_relaxed);
  h.queuedBytes = heldOutputBytes_.load(std::memory_order_relaxed);
  h.inboundBytes = heldInbound_.load(std::memory_order_relaxed);
  return h;
}

uint8_t Simulator::Interval() const {
  std::lock_guard lock(mutex_);
  return receiver_.Interval();
}

uint8_t Simulator::Cutoff() const {
  std::lock_guard lock(mutex_);
  return receiver_.Cutoff();
}

bool Simulator::Logging() const {
  std::lock_guard lock(mutex_);
  return receiver_.Logging();
}

bool Simulator::SoundOn() const {
  std::lock_guard lock(mutex_);
  return receiver_.SoundOn();
}

std::vector<DirEntry> Simulator::Files() const {
  std::lock_guard lock(mutex_);
  return receiver_.Files();
}

void Simulator::SetFiles(std::vector<DirEntry> files) {
  std::lock_guard lock(mutex_);
  receiver_.SetFiles(std::move(files));
}

Bytes Simulator::Firmware() const {
  std::lock_guard lock(mutex_);
  return receiver_.Firmware();
}

Counters Simulator::Count() const {
  std::lock_guard lock(mutex_);
  return receiver_.Count();
}

uint64_t Simulator::BytesSent() const { return bytesSent_.load(std::memory_order_relaxed); }

}  // namespace z500sim
