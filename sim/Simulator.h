// The simulated receiver at work on a line: one thread reads the line, feeds
// the Receiver and sends its answers when they are due, plus the periodic
// position sentence. Both directions are paced like a serial line of the
// configured baud rate: answers leave no faster than the line carries them,
// and a received frame is acted on only when its last byte would have
// arrived (a pty hands over a whole write at once).
// Tests run it in-process on a pty master; the z500-sim program runs it too.
//
// What the thread learns is kept for inspection: the latest frames received
// with their time and kind, how many of each kind came in all, the receiver's
// parameters, files and firmware, and counters. What it keeps and queues is
// bounded, so that a flood of frames cannot make it grow: the frame record
// drops its oldest frames, and while too much output waits nothing more is
// read, which holds the sender back through the line's own flow control.
// All public members may be called from any thread.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Line.h"
#include "Options.h"
#include "Receiver.h"

namespace z500sim {

struct ReceivedFrame {
  Clock::time_point at;  // when its last byte arrived (on a paced line)
  FrameKind kind;
  Bytes bytes;
  bool checkOk;
};

constexpr size_t kFrameKinds = static_cast<size_t>(FrameKind::Garbage) + 1;

// What the simulator holds at one moment.
struct Holdings {
  size_t frames = 0;         // frames in the record
  size_t frameBytes = 0;     // their bytes
  size_t queuedOutputs = 0;  // answers and sentences waiting to be sent
  size_t queuedBytes = 0;    // their bytes
  size_t inboundBytes = 0;   // read from the line, not yet fed to the receiver
};

// Gets one finished trace line (without newline).
using TraceSink = std::function<void(const std::string&)>;

class Simulator {
public:
  // Takes ownership of `line` (a pty master or a serial device, non-blocking):
  // it is closed by Stop(), by the destructor, or when the hangup fault or a
  // line error closes the line. For a pty master the simulator also holds the
  // slave open, so the line stays up while the tool closes and reopens it,
  // and lifts an exclusive mark (TIOCEXCL) that a client left behind when
  // it was killed: otherwise every later open would be refused as busy.
  // With a sink, every frame both ways is traced to it (options.trace is the
  // program's switch for a sink writing to stderr).
  Simulator(UniqueFd line, const Options& options, TraceSink trace = {});
  ~Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  void Start();
  // Wakes the thread and joins it; prompt, and safe to call twice.
  void Stop();

  // Queues raw bytes to be sent as they are (paced like answers).
  void Inject(Bytes bytes);

  // The latest frames received, oldest first: up to options.keptFrames of
  // them and kMaxRecordBytes of their bytes.
  std::vector<ReceivedFrame> Frames() const;
  // How many frames of `kind` have been received in all.
  uint64_t Received(FrameKind kind) const;
  // Waits until `count` frames of `kind` have been received in all.
  bool WaitForFrames(FrameKind kind, size_t count, std::chrono::milliseconds timeout) const;

  uint8_t Interval() const;
  uint8_t Cutoff() const;
  bool Logging() const;
  bool SoundOn() const;
  std::vector<DirEntry> Files() const;
  void SetFiles(std::vector<DirEntry> files);
  Bytes Firmware() const;
  Counters Count() const;
  uint64_t BytesSent() const;
  Holdings Held() const;

  // The most frame bytes the record keeps.
  static constexpr size_t kMaxRecordBytes = 4u << 20;
  // While this much output waits, no more frames are taken from the line: a
  // receiver cannot answer faster than its line carries the answers.
  static constexpr size_t kMaxQueuedBytes = 16 * 1024;
  static constexpr size_t kMaxQueuedOutputs = 256;

  // The line has been closed by the hangup fault or failed (device unplugged).
  bool LineClosed() const { return lineClosed_.load(std::memory_order_acquire); }
  // Becomes readable when the line closes: a program can poll it.
  int LineClosedFd() const { return closedEvent_.Get(); }

private:
  struct Pending {
    Output output;
    Clock::time_point queued;
    std::optional<Clock::time_point> due;  // set when it reaches the head
    size_t sent = 0;
  };

  void Run();
  // Does what is due by `now`; returns when the thread must look again.
  std::optional<Clock::time_point> Step(Clock::time_point now);
  // Waits until `wakeAt` (none: no limit) or until the line or the wake-up
  // event has something, and takes it.
  void Wait(std::optional<Clock::time_point> wakeAt, Clock::time_point now);
  void ReadLine(Clock::time_point now);
  // Feeds the receiver the bytes that have arrived by `now`, up to each frame
  // end in turn; returns when the next piece arrives.
  std::optional<Clock::time_point> Deliver(Clock::time_point now);
  // Sends what is due; returns when the thread must look again.
  std::optional<Clock::time_point> Send(Clock::time_point now);
  void Record(ReceivedFrame frame);
  void Enqueue(Pending pending);
  void Dequeue();
  bool QueueFull() const { return queue_.size() >= kMaxQueuedOutputs || queuedBytes_ >= kMaxQueuedBytes; }
  // Called when a descriptor of the slave has been closed.
  void LiftStaleMark();
  // Reads the closes reported by the watch; returns how many there were.
  size_t TakeCloses();
  void CloseLine(const char* why);
  void Trace(const char* direction, const Bytes& bytes, const std::string& meaning);

  UniqueFd line_;
  UniqueFd heldSlave_;
  std::string slavePath_;
  UniqueFd closeWatch_;  // inotify: a descriptor of the slave was closed
  const Options options_;
  const TraceSink trace_;
  const Clock::time_point started_ = Clock::now();
  const std::chrono::nanoseconds byteTime_;  // 10 bits per byte; 0: unpaced
  const size_t chunk_;                       // bytes written at once when paced

  mutable std::mutex mutex_;  // guards receiver_, frames_, recordBytes_, received_, injected_
  mutable std::condition_variable framesChanged_;
  Receiver receiver_;
  std::deque<ReceivedFrame> frames_;
  size_t recordBytes_ = 0;
  std::array<uint64_t, kFrameKinds> received_{};
  std::vector<Bytes> injected_;

  // Received bytes waiting for their time on a paced line: no more are
  // read while this many wait (34 s of a 19200 baud line).
  static constexpr size_t kMaxInbound = 64 * 1024;

  // Thread-only state.
  Bytes inbound_;                             // read, not yet fed to the receiver
  std::deque<Clock::time_point> arrivals_;    // when each of them arrives
  Clock::time_point inboundLineFree_{};       // the last byte read has arrived
  std::deque<Pending> queue_;
  size_t queuedBytes_ = 0;
  Clock::time_point lineFree_{};    // the line has carried everything written
  Clock::time_point lastFinish_{};  // the last piece of output was out
  std::optional<Clock::time_point> hangupAt_;
  Clock::time_point nextSentence_{};
  bool waitWritable_ = false;
  bool markCheckDue_ = false;  // a descriptor of the slave was closed

  std::atomic<uint64_t> bytesSent_{0};
  // Published by the thread for Held().
  std::atomic<size_t> heldOutputs_{0};
  std::atomic<size_t> heldOutputBytes_{0};
  std::atomic<size_t> heldInbound_{0};
  std::atomic<bool> stop_{false};
  std::atomic<bool> lineClosed_{false};
  EventFd wake_;
  EventFd closedEvent_;
  std::thread thread_;
};

}  // namespace z500sim
