// The receiver's side of the serial dialogue, without any I/O: received bytes
// go in, the frames found in them come out, each with the answers it causes
// and when they are due. Faults are applied here too, so everything the
// receiver decides can be tested without a line.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "Files.h"
#include "Options.h"

namespace z500sim {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

// Firmware blocks are stored from this receiver address on.
constexpr uint32_t kFirmwareBase = 0x40008000;
// The most firmware the receiver holds: blocks beyond it are refused.
constexpr size_t kMaxFirmware = 16u << 20;
// Pause between the two halves of a split answer: longer than the 50 to
// 100 ms after which the tool closes a package.
constexpr std::chrono::milliseconds kSplitPause{150};

enum class FrameKind : uint8_t {
  ReadParameters,   // "$$FJ", no payload
  WriteParameters,  // "$$FJ", interval and cut-off
  Directory,        // "$$FM"
  Delete,           // "$$FD" with names
  Format,           // "$$FD", no payload
  Sound,            // "$$SI"
  SerialReset,      // "$$SRST"
  Handshake,        // "$$VS"
  Block,            // "$$VX"
  Unlog,            // "unlogall com1\r\n"
  OtherStandard,    // a well-formed standard frame the receiver does not know
  Garbage,          // bytes skipped between frames (not a frame)
};
const char* KindName(FrameKind kind);

struct Frame {
  FrameKind kind = FrameKind::Garbage;
  Bytes bytes;
  bool checkOk = true;  // standard frames: the check byte was right
};

// One piece of output. `delay` counts from the arrival of the frame, or, with
// `afterPrevious`, from the moment the previous piece has left the line.
struct Output {
  std::chrono::milliseconds delay{0};
  bool afterPrevious = false;
  Bytes bytes;
  bool hangup = false;  // close the line once these bytes are out
};

struct Reaction {
  Frame frame;
  std::vector<Output> outputs;
};

struct Counters {
  uint64_t frames = 0;          // frames recognised (garbage not counted)
  uint64_t garbageBytes = 0;    // bytes skipped between frames
  uint64_t answers = 0;         // answers the receiver gave (sent or not)
  uint64_t droppedAnswers = 0;  // answers kept back by --silent or --drop-answer
  uint64_t handshakes = 0;      // "$$VS" received
  uint64_t blocks = 0;          // "$$VX" received since the last answered handshake
};

class Receiver {
public:
  explicit Receiver(const Options& options);

  // Takes bytes read from the line at `now`. Returns what they completed, in
  // order: frames with their answers, and runs of skipped bytes. A partial
  // frame waits for the next call; one left waiting for more than half a
  // second counts as garbage.
  std::vector<Reaction> Feed(const uint8_t* data, size_t size, Clock::time_point now) {
    return Feed(data, size, now, now);
  }
  // The same for bytes that came in over a paced line: the first of them
  // arrived at `firstAt`, the last at `lastAt`. Only the line's idle time,
  // from the last byte of one call to the first of the next, makes a
  // waiting partial frame stale.
  std::vector<Reaction> Feed(const uint8_t* data, size_t size, Clock::time_point firstAt,
                             Clock::time_point lastAt);

  // How many of `data`, fed next with its first byte arriving at `firstAt`,
  // complete the first frame they complete; empty when they complete none.
  // Changes nothing: a paced line uses it to act on each frame when its
  // last byte arrives.
  std::optional<size_t> FrameEndWithin(const uint8_t* data, size_t size, Clock::time_point firstAt) const;

  // Periodic output: on until "unlogall com1" arrives. The sentence is a GGA
  // position fix stamped with the UTC time `t`.
  bool Logging() const { return logging_; }
  static Bytes PositionSentence(std::time_t t);

  uint8_t Interval() const { return interval_; }
  uint8_t Cutoff() const { return cutoff_; }
  bool SoundOn() const { return soundOn_; }
  const std::vector<DirEntry>& Files() const { return files_; }
  void SetFiles(std::vector<DirEntry> files) { files_ = std::move(files); }
  // The firmware received since the last answered handshake, from
  // kFirmwareBase on (gaps are zero).
  const Bytes& Firmware() const { return firmware_; }
  const Counters& Count() const { return counters_; }

private:
  Reaction Handle(Frame frame);
  std::vector<Output> Answer(Bytes answer, std::chrono::milliseconds delay, bool hangup = false);

  Options options_;
  Bytes pending_;  // received bytes not yet used
  Clock::time_point lastFeed_{};
  bool zeroAfterUnlog_ = false;
  bool logging_;
  bool soundOn_ = false;
  uint8_t interval_;
  uint8_t cutoff_;
  std::vector<DirEntry> files_;
  Bytes firmware_;
  Counters counters_;
};

// Builds a standard frame: "$$", class, command, length, payload, check byte, CR LF.
Bytes StandardFrame(char frameClass, char command, const Bytes& payload = {});

// One line for the trace: the bytes in hex (long ones cut) and what they mean.
std::string Hex(const Bytes& bytes, size_t max = 40);
std::string DescribeReceived(const Frame& frame);
std::string DescribeSent(const Bytes& bytes);

struct FirmwareCheck {
  bool match = false;
  std::string report;
};
// Compares a received image with the file that was sent. The tool pads the
// last block to a multiple of 4 bytes, so up to 3 extra bytes at the end
// still match.
FirmwareCheck CompareFirmware(const Bytes& expected, const Bytes& received);

}  // namespace z500sim
