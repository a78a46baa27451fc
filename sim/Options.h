// The simulator's settings: one struct used by the z500-sim program and by
// tests that run the simulator in-process, and the parser that fills it from
// command-line arguments (one table of flags serves the parser and --help).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace z500sim {

struct Options {
  // Receiver state at start.
  uint32_t files = 0;              // --files N: generated directory entries
  uint8_t interval = 5;            // --interval S: sampling interval, seconds
  uint8_t cutoff = 12;             // --cutoff D: cut-off angle, degrees
  uint8_t hardwareVersion = 88;    // --hw N: version given in the handshake answer
  bool unlogged = false;           // --unlogged: periodic output off from the start

  // Timing.
  uint32_t baud = 19200;           // --baud N: pacing of both directions; 0 = unpaced
  uint32_t replyDelayMs = 5;       // --reply-delay MS: turnaround before each answer
  uint32_t formatTimeMs = 3000;    // --format-time MS: time a format takes
  uint32_t logPeriodMs = 1000;     // --log-period MS: periodic sentence interval

  // Faults (all off by default).
  bool silent = false;                       // --silent: no answers at all
  std::optional<uint8_t> blockResult;        // --block-result R@K: result R ...
  uint32_t blockResultAt = 0;                // ... for block K (from 1)
  uint32_t badAddressAt = 0;                 // --bad-address-at K (0: never)
  uint32_t handshakeAfter = 0;               // --handshake-after N: ignore N first
  bool splitAnswers = false;                 // --split-answers
  uint32_t garbage = 0;                      // --garbage N: bytes before each answer
  std::vector<uint32_t> dropAnswers;         // --drop-answer K (repeatable, from 1)
  std::optional<uint32_t> hangupAfter;       // --hangup-after K: blocks, then close
  bool echo = false;                         // --echo: a loopback plug, no receiver
  bool repeatPage = false;                   // --repeat-page: the first page, always

  // In-process only (no flag): the frame record keeps the latest this many.
  uint32_t keptFrames = 65536;

  // Program only: the in-process simulator does not look at these.
  bool trace = false;              // --trace: frames on stderr
  std::string link;                // --link PATH: symlink to the pty slave
  std::string device;              // --device PATH: serve a serial device
  std::string saveFirmware;        // --save-firmware FILE
  std::string expectFirmware;      // --expect-firmware FILE
};

// Why the arguments are not good; no value when they are.
using ArgError = std::optional<std::string>;

struct ParsedArgs {
  Options options;
  bool help = false;
  bool version = false;  // --version
  ArgError error;
};

// Parses argv[1..argc). Accepts "--flag value" and "--flag=value".
ParsedArgs ParseArgs(int argc, const char* const* argv);

// The --help text.
std::string UsageText();

}  // namespace z500sim
