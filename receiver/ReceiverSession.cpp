#include "ReceiverSession.h"

#include <stdexcept>
#include <vector>

#include "FirmwareBlocks.h"
#include "PortMap.h"
#include "RawReplyWait.h"

namespace Z500 {

namespace {

using namespace std::chrono_literals;
using QuarlComm32::EV_ERR;
using QuarlComm32::EV_TXEMPTY;

// How often a wait looks at the queues again without a notification.
constexpr auto Recheck = 20ms;

TFirmwareFault FaultOf(Quarl::TFileFault fault) {
  switch (fault) {
    case Quarl::TFileFault::None: return TFirmwareFault::None;
    case Quarl::TFileFault::CannotExamine: return TFirmwareFault::CannotExamine;
    case Quarl::TFileFault::Directory: return TFirmwareFault::Directory;
    case Quarl::TFileFault::NotRegular: return TFirmwareFault::NotRegular;
    default: return TFirmwareFault::CannotOpen;
  }
}

}  // namespace

void ApplyLinkSettings(QuarlComm32::TComm32& comm, QuarlComm32::TCommPackage& package) {
  comm.DCB.BaudRate = TLinkSettings::Baud;
  comm.DCB.ByteSize = TLinkSettings::ByteSize;
  comm.DCB.Parity = TLinkSettings::Parity;
  comm.DCB.StopBits = TLinkSettings::StopBits;
  comm.InQueue->fSetBufSize(TLinkSettings::QueueBytes);
  comm.OutQueue->fSetBufSize(TLinkSettings::QueueBytes);
  comm.HwInSize = TLinkSettings::DriverBufferBytes;
  comm.HwOutSize = TLinkSettings::DriverBufferBytes;
  package.fSetQSize(TLinkSettings::PackageSlots);
  package.fSetPkgSz(TLinkSettings::PackageBytes);
  package.fSetPkgType(TLinkSettings::PackageType);
  package.fSetPkgInterval(TLinkSettings::PackagePauseMs);
}

TFirmwareFile OpenFirmwareFile(const std::string& path) {
  TFirmwareFile firmware{TFirmwareFault::None, 0, Quarl::TRegularFile::Open(path)};
  firmware.Fault = FaultOf(firmware.File.Fault());
  firmware.Error = firmware.File.Error();
  if (firmware.Fault == TFirmwareFault::None && firmware.File.Size() == 0) firmware.Fault = TFirmwareFault::Empty;
  if (firmware.Fault == TFirmwareFault::None && firmware.File.Size() > MaxFirmwareSize)
    firmware.Fault = TFirmwareFault::TooLarge;
  if (firmware.Fault != TFirmwareFault::None) firmware.File = {};
  return firmware;
}

TReceiverSession::TReceiverSession(IClock& clock, IInterrupt* interrupt) : Clock(clock), Interrupt(interrupt) {
  Comm = std::make_unique<QuarlComm32::TComm32>();
  // The engine's own notification reports a lost line even while packaging
  // is off (the raw reply waits); the framer passes it on to this handler.
  Comm->OnCommNotify = [this](QuarlComm32::TComm32*, int notifyType) {
    if (notifyType & EV_ERR) LineFailed();
  };
  Package = std::make_unique<QuarlComm32::TCommPackage>(Comm.get());
  ApplyLinkSettings(*Comm, *Package);
  Package->SetPackageNotify([this](QuarlComm32::TObject*, int notifyType) { Notified(notifyType); });
  if (Interrupt)
    Interrupt->SetWaker(this, [this] {
      { std::lock_guard lock(Lock); }  // a waiter is either waiting or yet to look
      Changed.notify_all();
    });
}

TReceiverSession::~TReceiverSession() { Teardown(); }

// The one place the link is taken down: no more wakes, then the link's
// shutdown (packaging off without notifications, the port closed), then the
// framer gone and the engine's callback dropped.
void TReceiverSession::Teardown() noexcept {
  if (Interrupt) Interrupt->SetWaker(this, nullptr);
  QuarlComm32::ShutdownLink(*Comm, *Package);
  Package.reset();  // gives the engine its own callback back
  Comm->OnCommNotify = nullptr;
}

void TReceiverSession::LineFailed() {
  {
    std::lock_guard lock(Lock);
    LineError = true;
  }
  Changed.notify_all();
}

void TReceiverSession::Notified(int notifyType) {
  {
    std::lock_guard lock(Lock);
    ++Notifications;
    if (notifyType & EV_ERR) LineError = true;
    if (notifyType & EV_TXEMPTY) ++TransmitEmpties;
  }
  Changed.notify_all();
}

void TReceiverSession::Open(const std::string& port) {
  if (port.find('/') != std::string::npos) {
    Comm->PortMap = std::make_shared<QuarlComm32::TFixedPortMap>(std::vector<QuarlComm32::TPortEntry>{{1, port}});
    Comm->SetPortNo(1);
  } else {
    const int number = QuarlComm32::ComNumberOf(port);
    if (number < 1) throw std::invalid_argument("'" + port + "' is neither COMn nor a device path");
    Comm->SetPortNo(number);
  }
  Comm->Open();
  Package->fSetActive(true);
}

bool TReceiverSession::Quiet() {
  QuietReceiver([this](const TFrame& frame) { Send(frame); }, Clock);
  std::vector<uint8_t> received, buf(Package->fGetPkgSz());
  while (const unsigned long n = Package->ReadPackage(buf.data(), static_cast<unsigned long>(buf.size()))) {
    TraceBytes(TTraceDirection::Received, TTraceKind::Frame, {buf.data(), n});
    received.insert(received.end(), buf.begin(), buf.begin() + static_cast<ptrdiff_t>(n));
  }
  Package->PurgeRead();
  CheckInterrupt();
  return EchoesUnlog(received);
}

void TReceiverSession::TraceBytes(TTraceDirection direction, TTraceKind kind, std::span<const uint8_t> bytes) {
  if (Trace != nullptr && !bytes.empty()) Trace->Record(TracePort, direction, kind, bytes);
}

bool TReceiverSession::Send(const TFrame& frame) {
  TraceBytes(TTraceDirection::Sent, TTraceKind::Frame, frame);
  {
    std::lock_guard lock(Lock);
    SentMark = TransmitEmpties;
  }
  return !frame.empty() &&
         Package->WritePackage(frame.data(), static_cast<unsigned long>(frame.size())) == frame.size();
}

bool TReceiverSession::Drain(TDeadline deadline) {
  std::unique_lock lock(Lock);
  const auto queued = [this] { return Package->WriteQueueCount() != 0 || Comm->OutQueue->Count() != 0; };
  while (queued() || TransmitEmpties == SentMark) {
    CheckInterrupt();
    if (LineError) return false;
    if (std::chrono::steady_clock::now() >= deadline) {
      if (queued()) return false;
      // No word from the driver: allow the line time of 256 bytes, more
      // than the longest frame sent (a 137-byte firmware block).
      lock.unlock();
      Clock.Sleep(256 * 10 * 1000 / TLinkSettings::Baud);
      return true;
    }
    Changed.wait_until(lock, std::min(deadline, std::chrono::steady_clock::now() + Recheck));
  }
  return true;
}

TWaitEnd TReceiverSession::Wait(const TReplyRoutes& routes, bool upgrading, const std::function<bool()>& done,
                                TDeadline deadline) {
  uint8_t buf[ReplyBufferSize];
  for (;;) {
    for (;;) {
      const unsigned long n = Package->ReadPackage(buf, sizeof buf);
      if (n == 0) break;
      TraceBytes(TTraceDirection::Received, TTraceKind::Frame, {buf, std::min<size_t>(n, sizeof buf)});
      DispatchReply(std::span<const uint8_t>(buf, n), upgrading, routes);
      if (done()) return TWaitEnd::Done;
    }
    std::unique_lock lock(Lock);
    CheckInterrupt();
    if (LineError) return TWaitEnd::LineLost;
    if (std::chrono::steady_clock::now() >= deadline) return TWaitEnd::TimedOut;
    const uint64_t seen = Notifications;
    Changed.wait_until(lock, std::min(deadline, std::chrono::steady_clock::now() + Recheck),
                       [&] { return Notifications != seen || Interrupted(); });
  }
}

TWaitEnd TReceiverSession::SendAndWaitForHead(const TFrame& frame, const TReplyHead& head, uint32_t limitMs) {
  // Packaging goes off before the frame is written: the framer would take a
  // quick answer in and lose it at the switch. Nothing received before the
  // frame can answer it, and its echo, if any, then comes first.
  Package->fSetActive(false);
  const auto read = [this](uint8_t* buf, long len) {
    const auto n = static_cast<long>(Comm->Read(buf, static_cast<int32_t>(len)));
    if (n > 0) TraceBytes(TTraceDirection::Received, TTraceKind::Raw, {buf, static_cast<size_t>(n)});
    return n;
  };
  DropReceived(read);
  const auto size = static_cast<int32_t>(frame.size());
  if (size == 0 || Comm->Write(frame.data(), size) != size) {
    Package->fSetActive(true);
    return TWaitEnd::LineLost;
  }
  // Written whole past the framer: traced as the frame it is.
  TraceBytes(TTraceDirection::Sent, TTraceKind::Frame, frame);
  TReplyScanner scanner(head, frame, false);
  uint32_t waitStart = 0, waitNow = 0;
  const bool found = WaitForReplyHead(read, scanner, limitMs, Clock, waitStart, waitNow, {}, [this] {
    // A line that has gone (a pulled cable) or an interrupt ends the wait
    // at once.
    std::lock_guard lock(Lock);
    return LineError || Interrupted();
  });
  Package->fSetActive(true);
  CheckInterrupt();
  if (found) return TWaitEnd::Done;
  std::lock_guard lock(Lock);
  return LineError ? TWaitEnd::LineLost : TWaitEnd::TimedOut;
}

void TReceiverSession::SetTrace(TLineTrace* trace, std::string port) {
  Trace = trace;
  TracePort = std::move(port);
}

}  // namespace Z500
