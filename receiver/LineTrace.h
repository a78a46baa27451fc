// A line trace for support: every frame both ways, and the raw bytes outside
// packages, written to a file by a thread of its own, so that tracing never
// makes the line or the window wait on the disk.
//
// One record per line:
//   <ms since the trace began> <port> <'>' sent | '<' received> <hex bytes> <what it is>
// for example
//   1532 COM3 > 24 24 46 4A 00 00 ... read parameters request
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

namespace Z500 {

enum class TTraceDirection { Sent, Received };
enum class TTraceKind {
  Frame,  // a whole frame handed to the framer, or a package it cut
  Raw,    // bytes outside packages: a raw reply wait's stream
};

class TLineTrace {
public:
  // Starts tracing into `path` (created, or emptied). When the file cannot
  // be opened or written, `report` is called once, from whichever thread
  // found it, with one line saying why; records are dropped from then on
  // and the work goes on.
  TLineTrace(const std::string& path, std::function<void(const std::string&)> report);
  // Writes what is still queued, then closes the file.
  ~TLineTrace();
  TLineTrace(const TLineTrace&) = delete;
  TLineTrace& operator=(const TLineTrace&) = delete;

  // Queues one record; never waits on the file. `port` names the link
  // ("COM3", or a device path); it may be empty. Safe from any thread.
  void Record(const std::string& port, TTraceDirection direction, TTraceKind kind, std::span<const uint8_t> bytes);

  // The file could not be opened or written.
  bool Failed() const;
  // Records left out because the writer fell behind or failed.
  uint64_t Dropped() const;

private:
  struct TWriter;
  std::unique_ptr<TWriter> Writer;
};

}  // namespace Z500
