#include "Options.h"

#include <algorithm>
#include <charconv>
#include <functional>

namespace z500sim {

namespace {

// Stores the parsed value, or returns the message for a bad one.
// A flag's value taken into the options, or why it cannot be.
using Setter = std::function<ArgError(Options&, std::string_view flag, std::string_view value)>;

struct Flag {
  const char* name;
  const char* valueName;  // nullptr: the flag takes no value
  const char* help;
  Setter set;
};

std::string NumberError(std::string_view flag, std::string_view value, uint64_t min, uint64_t max) {
  return std::string(flag) + ": '" + std::string(value) + "' is not a number from " + std::to_string(min) +
         " to " + std::to_string(max);
}

bool ToNumber(std::string_view text, uint64_t min, uint64_t max, uint64_t& out) {
  if (text.empty()) return false;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, out);
  return ec == std::errc() && ptr == end && out >= min && out <= max;
}

template <typename T>
Setter Number(T Options::*field, uint64_t min, uint64_t max) {
  return [=](Options& o, std::string_view flag, std::string_view value) -> ArgError {
    uint64_t v = 0;
    if (!ToNumber(value, min, max, v)) return NumberError(flag, value, min, max);
    o.*field = static_cast<T>(v);
    return {};
  };
}

Setter Switch(bool Options::*field) {
  return [=](Options& o, std::string_view, std::string_view) -> ArgError {
    o.*field = true;
    return {};
  };
}

Setter Text(std::string Options::*field) {
  return [=](Options& o, std::string_view flag, std::string_view value) -> ArgError {
    if (value.empty()) return std::string(flag) + ": needs a path";
    o.*field = std::string(value);
    return {};
  };
}

constexpr uint64_t kMaxMs = 3'600'000;
constexpr uint64_t kMaxCount = 1'000'000;

const std::vector<Flag>& Flags() {
  static const std::vector<Flag> flags = {
      {"--files", "N", "hold N generated observation files (0 to 65535; default 0)",
       Number(&Options::files, 0, 65535)},
      {"--interval", "S", "sampling interval at start, seconds (default 5)", Number(&Options::interval, 0, 255)},
      {"--cutoff", "D", "cut-off angle at start, degrees (default 12)", Number(&Options::cutoff, 0, 255)},
      {"--hw", "N", "hardware version in the handshake answer (default 88; any other value makes the "
                    "tool refuse a *.088.rxf file)",
       Number(&Options::hardwareVersion, 0, 255)},
      {"--unlogged", nullptr, "start with the periodic output off, as after \"unlogall com1\"",
       Switch(&Options::unlogged)},
      {"--baud", "N", "pace both ways like an 8N1 line at N baud (default 19200): send no faster, and act "
                       "on a received frame only when its last byte would have arrived; 0: no pacing",
       Number(&Options::baud, 0, 4'000'000)},
      {"--reply-delay", "MS", "turnaround before each answer (default 5)", Number(&Options::replyDelayMs, 0, kMaxMs)},
      {"--format-time", "MS", "time a format takes before its answer (default 3000)",
       Number(&Options::formatTimeMs, 0, kMaxMs)},
      {"--log-period", "MS", "interval of the periodic position sentence (default 1000)",
       Number(&Options::logPeriodMs, 1, kMaxMs)},
      {"--silent", nullptr, "fault: answer nothing (frames are still received and traced)",
       Switch(&Options::silent)},
      {"--block-result", "R@K", "fault: answer firmware block K (counted from 1) with result R (e.g. 1@3, 2@1, 7@2)",
       [](Options& o, std::string_view flag, std::string_view value) -> ArgError {
         auto at = value.find('@');
         uint64_t r = 0, k = 0;
         if (at == std::string_view::npos || !ToNumber(value.substr(0, at), 0, 255, r) ||
             !ToNumber(value.substr(at + 1), 1, kMaxCount, k))
           return std::string(flag) + ": '" + std::string(value) +
                  "' is not RESULT@BLOCK (result 0 to 255, block from 1), e.g. 2@3";
         o.blockResult = static_cast<uint8_t>(r);
         o.blockResultAt = static_cast<uint32_t>(k);
         return {};
       }},
      {"--bad-address-at", "K", "fault: answer firmware block K with a wrong address",
       Number(&Options::badAddressAt, 1, kMaxCount)},
      {"--handshake-after", "N", "fault: leave the first N upgrade handshakes unanswered",
       Number(&Options::handshakeAfter, 0, kMaxCount)},
      {"--split-answers", nullptr, "fault: send every answer in two halves 150 ms apart (longer than the "
                                   "tool's framing pause)",
       Switch(&Options::splitAnswers)},
      {"--garbage", "N", "fault: send N garbage bytes directly before every answer",
       Number(&Options::garbage, 0, 4096)},
      {"--drop-answer", "K", "fault: do not send the K-th answer (counted from 1; may be repeated)",
       [](Options& o, std::string_view flag, std::string_view value) -> ArgError {
         uint64_t k = 0;
         if (!ToNumber(value, 1, kMaxCount, k)) return NumberError(flag, value, 1, kMaxCount);
         o.dropAnswers.push_back(static_cast<uint32_t>(k));
         return {};
       }},
      {"--hangup-after", "K", "fault: close the line, like a pulled cable, once the answer to firmware "
                              "block K is out (0: right after the handshake answer)",
       [](Options& o, std::string_view flag, std::string_view value) -> ArgError {
         uint64_t k = 0;
         if (!ToNumber(value, 0, kMaxCount, k)) return NumberError(flag, value, 0, kMaxCount);
         o.hangupAfter = static_cast<uint32_t>(k);
         return {};
       }},
      {"--echo", nullptr, "fault: be a loopback plug or an echoing RS-485 adapter with no receiver behind it: "
                          "every byte received goes straight back and nothing is answered",
       Switch(&Options::echo)},
      {"--repeat-page", nullptr, "fault: answer every directory request with the first full page, so that "
                                 "the listing never ends (needs --files 8 or more)",
       Switch(&Options::repeatPage)},
      {"--trace", nullptr, "print every frame both ways on stderr, with time, hex and meaning",
       Switch(&Options::trace)},
      {"--link", "PATH", "also make a symbolic link PATH to the pseudo-terminal (removed at exit)",
       Text(&Options::link)},
      {"--device", "PATH", "serve this serial device (raw 8N1 at --baud, 19200 when 0) instead of a "
                           "pseudo-terminal",
       Text(&Options::device)},
      {"--save-firmware", "FILE", "write the received firmware image to FILE at exit (checked at start: its "
                                  "folder must exist and take the file)",
       Text(&Options::saveFirmware)},
      {"--expect-firmware", "FILE", "at exit compare the received firmware with FILE, a readable regular file "
                                    "of at most 16 MiB (checked at start); report the first difference and the "
                                    "lengths (exit status 1 when they differ)",
       Text(&Options::expectFirmware)},
  };
  return flags;
}

}  // namespace

ParsedArgs ParseArgs(int argc, const char* const* argv) {
  ParsedArgs result;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      result.help = true;
      continue;
    }
    if (arg == "--version") {
      result.version = true;
      continue;
    }
    std::string_view name = arg;
    std::optional<std::string_view> value;
    if (auto eq = arg.find('='); eq != std::string_view::npos && arg.starts_with("--")) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
    }
    const auto& flags = Flags();
    auto flag = std::find_if(flags.begin(), flags.end(), [&](const Flag& f) { return name == f.name; });
    if (flag == flags.end()) {
      result.error = "unknown option '" + std::string(arg) + "'";
      return result;
    }
    if (flag->valueName == nullptr) {
      if (value) {
        result.error = std::string(name) + " takes no value";
        return result;
      }
    } else if (!value) {
      if (i + 1 >= argc) {
        result.error = std::string(name) + " needs a value " + flag->valueName;
        return result;
      }
      value = argv[++i];
    }
    result.error = flag->set(result.options, name, value.value_or(""));
    if (result.error) return result;
  }
  if (!result.options.link.empty() && !result.options.device.empty())
    result.error = "--link and --device cannot be used together";
  return result;
}

std::string UsageText() {
  constexpr size_t kIndent = 24, kWidth = 79;
  std::string text =
      "Usage: z500-sim [OPTION]...\n"
      "Simulates a Varnex Z500 static receiver on a pseudo-terminal (or a serial\n"
      "device): answers the frames of the Z500 manager and prints the line to start\n"
      "it with. Runs until SIGINT or SIGTERM.\n\nOptions:\n";
  auto add = [&](std::string head, std::string_view help) {
    if (head.size() < kIndent) head.resize(kIndent, ' ');
    else head += "\n" + std::string(kIndent, ' ');
    // Word-wrapped to the width, continued under the first line.
    size_t column = kIndent;
    while (!help.empty()) {
      const size_t space = help.find(' ');
      const std::string_view word = help.substr(0, space);
      if (column > kIndent && column + 1 + word.size() > kWidth) {
        head += "\n" + std::string(kIndent, ' ');
        column = kIndent;
      } else if (column > kIndent) {
        head += ' ';
        ++column;
      }
      head += word;
      column += word.size();
      help = space == std::string_view::npos ? std::string_view() : help.substr(space + 1);
    }
    text += head + "\n";
  };
  for (const Flag& f : Flags())
    add(std::string("  ") + f.name + (f.valueName ? std::string(" ") + f.valueName : std::string()), f.help);
  add("  -h, --help", "show this text");
  add("  --version", "print the version and exit");
  return text;
}

}  // namespace z500sim
