#include "Scan.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "EComm32Error.h"
#include "Json.h"
#include "Link.h"
#include "PortMap.h"
#include "ReceiverSession.h"

namespace Z500Ctl {

namespace {

using SteadyClock = std::chrono::steady_clock;
using Z500::TWaitEnd;

// A package that is not the answer (the receiver's periodic output, which
// may have taken an answer sent right next to it into the same package)
// asks again, at most this often.
constexpr auto AskAgainAfter = std::chrono::milliseconds(250);

// Asks `link` for the parameters until an answer, the request's own echo,
// a lost line or `until`.
void AskForParameters(Z500::TReceiverSession& link, Z500::TDeadline until, TScanned& scanned) {
  bool answered = false, echoed = false;
  Z500::TReplyRoutes routes;
  routes.Parameters = [&](uint8_t interval, uint8_t cutoff) {
    answered = true, scanned.Interval = interval, scanned.Cutoff = cutoff;
  };
  // The request is "$$FJ" with no payload, which the dispatcher takes for
  // the acknowledgement of a setting: a receiver never sends that for a
  // read, so here it is the request come back.
  routes.ParametersSet = [&] { echoed = true; };
  bool due = true;
  auto askAt = SteadyClock::now();
  for (;;) {
    if (due && SteadyClock::now() >= askAt) {
      link.Send(Z500::ReadParametersRequest());
      due = false, askAt = SteadyClock::now() + AskAgainAfter;
    }
    const TWaitEnd end = link.Wait(routes, false, [] { return true; }, due ? std::min(until, askAt) : until);
    if (answered) return void(scanned.Status = TScanStatus::Receiver);
    if (echoed) return void(scanned.Status = TScanStatus::Echo);
    if (end == TWaitEnd::LineLost) {
      scanned.Status = TScanStatus::Unavailable, scanned.Reason = "the serial line was lost";
      return;
    }
    if (end == TWaitEnd::Done) scanned.Talks = due = true;
    if (SteadyClock::now() >= until) return void(scanned.Status = TScanStatus::Silent);
  }
}

TScanned AskPort(const std::string& port, double timeout, TInterrupt& process, Z500::TLineTrace* trace) {
  TScanned scanned;
  scanned.Port = port, scanned.Device = DeviceOf(port);
  TInterruptibleClock clock(process);
  Z500::TReceiverSession link(clock, &process);
  if (trace) link.SetTrace(trace, port);
  const auto until = Deadline(timeout);
  try {
    link.Open(port);
  } catch (const QuarlComm32::EComm32Error& e) {
    scanned.Status = TScanStatus::Unavailable, scanned.Reason = OpenFailureReason(e);
    return scanned;
  } catch (const std::invalid_argument& e) {
    scanned.Status = TScanStatus::Unavailable, scanned.Reason = e.what();
    return scanned;
  }
  AskForParameters(link, until, scanned);
  return scanned;
}

const char* StatusName(TScanStatus status) {
  switch (status) {
    case TScanStatus::Receiver: return "receiver";
    case TScanStatus::Silent: return "silent";
    case TScanStatus::Echo: return "echo";
    case TScanStatus::Unavailable: return "unavailable";
  }
  return "";
}

// What the table says after the status.
std::string Details(const TScanned& s, double timeout) {
  switch (s.Status) {
    case TScanStatus::Receiver:
      return "interval " + std::to_string(s.Interval) + " s, cut-off " + std::to_string(s.Cutoff) + " degrees";
    case TScanStatus::Silent:
      return (s.Talks ? "sends data, but no answer to the parameter request within " : "no answer within ") +
             Seconds(timeout);
    case TScanStatus::Echo: return "gives back what is sent (a loopback plug or an echoing adapter): no receiver";
    case TScanStatus::Unavailable: return s.Reason;
  }
  return {};
}

std::string ScanJson(const TScanned& s) {
  std::string json = "{\"port\": " + JsonString(s.Port) + ", \"device\": " + JsonString(s.Device) +
                     ", \"status\": \"" + StatusName(s.Status) + "\"";
  if (s.Status == TScanStatus::Receiver)
    json += ", \"interval\": " + std::to_string(s.Interval) + ", \"cutoff\": " + std::to_string(s.Cutoff);
  if (s.Status == TScanStatus::Unavailable) json += ", \"reason\": " + JsonString(s.Reason);
  if (s.Talks && s.Status == TScanStatus::Silent)
    json += ", \"note\": \"sends data, but did not answer the parameter request\"";
  return json + "}";
}

void PrintTable(const std::vector<TScanned>& scanned, double timeout, std::ostream& out) {
  size_t port = 0, device = 0;
  for (const auto& s : scanned) port = std::max(port, s.Port.size()), device = std::max(device, s.Device.size());
  for (const auto& s : scanned) {
    std::string status = StatusName(s.Status);
    out << s.Port << std::string(port - s.Port.size() + 2, ' ') << s.Device
        << std::string(device - s.Device.size() + 2, ' ') << status << std::string(13 - status.size(), ' ')
        << OneLine(Details(s, timeout)) << "\n";
  }
}

}  // namespace

std::vector<TScanned> ScanPorts(const std::vector<std::string>& ports, double timeout, TInterrupt& process,
                                Z500::TLineTrace* trace) {
  std::vector<TScanned> scanned(ports.size());
  {
    std::vector<std::jthread> askers;  // joined here
    for (size_t i = 0; i < ports.size(); ++i)
      askers.emplace_back([&, i] {
        try {
          scanned[i] = AskPort(ports[i], timeout, process, trace);
        } catch (const TInterrupted&) {  // said once, below
        } catch (const std::exception& e) {
          scanned[i].Port = ports[i], scanned[i].Device = DeviceOf(ports[i]);
          scanned[i].Status = TScanStatus::Unavailable, scanned[i].Reason = e.what();
        }
      });
  }
  process.Check();
  return scanned;
}

std::vector<std::string> PortsToScan(const TArguments& options) {
  if (options.PortsGiven) return options.Ports;
  std::vector<std::string> names;
  if (!QuarlComm32::ListComNames(names)) throw TFailure{xPort, "the list of serial ports cannot be read"};
  return names;
}

int ScanCommand(const TArguments& options, std::ostream& out, std::ostream& err, TInterrupt& process,
                Z500::TLineTrace* trace) {
  const std::vector<std::string> ports = PortsToScan(options);
  const auto scanned = ScanPorts(ports, options.ScanTimeout(), process, trace);
  if (options.Json) {
    std::vector<std::string> objects;
    for (const auto& s : scanned) objects.push_back(ScanJson(s));
    PrintJsonArray(out, objects);
  } else {
    if (scanned.empty()) err << "z500ctl: no serial ports to scan\n";
    PrintTable(scanned, options.ScanTimeout(), out);
  }
  return xOk;
}

std::vector<std::string> FoundReceivers(const TArguments& options, std::ostream& err, TInterrupt& process,
                                        Z500::TLineTrace* trace) {
  const std::vector<std::string> ports = PortsToScan(options);
  std::vector<std::string> found;
  for (const auto& s : ScanPorts(ports, options.ScanTimeout(), process, trace))
    if (s.Status == TScanStatus::Receiver) found.push_back(s.Port);
  if (found.empty())
    throw TFailure{xTimeout, "no receiver answered on any of the " + std::to_string(ports.size()) +
                                 " ports scanned within " + Seconds(options.ScanTimeout())};
  std::string list;
  for (const auto& port : found) list += (list.empty() ? "" : ", ") + port;
  err << "z500ctl: found " << found.size() << (found.size() == 1 ? " receiver: " : " receivers: ") << list << "\n";
  return found;
}

}  // namespace Z500Ctl
