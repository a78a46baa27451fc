// z500ctl scan: asks every port at once with the parameter read, the one
// request that changes nothing on a receiver, and says what answered.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "Interrupt.h"
#include "LineTrace.h"
#include "Z500Ctl.h"

namespace Z500Ctl {

enum class TScanStatus {
  Receiver,     // answered the parameter request
  Silent,       // no answer within the time-out (it may have sent other data: Talks)
  Echo,         // the request itself came back: a loopback plug or an echoing adapter
  Unavailable,  // the port did not open, or the line was lost (Reason)
};

struct TScanned {
  std::string Port, Device;
  TScanStatus Status = TScanStatus::Silent;
  uint8_t Interval = 0, Cutoff = 0;  // a receiver's
  std::string Reason;                // why unavailable
  bool Talks = false;                // silent, but sent data that was no answer
};

// Asks each of `ports` at once and waits at most `timeout` seconds for each.
// Throws TInterrupted when `process` was raised meanwhile (every port is
// closed by then).
std::vector<TScanned> ScanPorts(const std::vector<std::string>& ports, double timeout, TInterrupt& process,
                                Z500::TLineTrace* trace);

// The ports a scan asks: those named with --port, else every port of the
// port map. Throws TFailure (xPort) when the port map cannot be read.
std::vector<std::string> PortsToScan(const TArguments& options);

// scan: the table (or JSON) on `out`. Returns the exit code.
int ScanCommand(const TArguments& options, std::ostream& out, std::ostream& err, TInterrupt& process,
                Z500::TLineTrace* trace);

// --port all-found: the ports where a scan finds a receiver, said on `err`.
// Throws TFailure (xTimeout) when there is none.
std::vector<std::string> FoundReceivers(const TArguments& options, std::ostream& err, TInterrupt& process,
                                        Z500::TLineTrace* trace);

}  // namespace Z500Ctl
