#include "ReceiverLink.h"

#include <stdexcept>
#include <vector>

#include "Dcb.h"
#include "LinkSteps.h"
#include "PortMap.h"
#include "RawReplyWait.h"

namespace Z500Ctl {

namespace {

using namespace std::chrono_literals;
using QuarlComm32::TCommPackage;

constexpr uint32_t Baud = 19200;
// The notification bits: all sent, the line failed.
constexpr int TransmitEmpty = 0x0004;
constexpr int LineFailed = 0x0080;
// How often a wait looks at the queues again without a notification.
constexpr auto Recheck = 20ms;

}  // namespace

TReceiverLink::TReceiverLink(Z500::IClock& clock, TInterrupt* interrupt) : Clock(clock), Interrupt(interrupt) {
  Comm = std::make_unique<QuarlComm32::TComm32>();
  Comm->DCB.BaudRate = Baud;
  Comm->DCB.ByteSize = 8;
  Comm->DCB.Parity = QuarlComm32::NOPARITY;
  Comm->DCB.StopBits = QuarlComm32::ONESTOPBIT;
  Comm->InQueue->fSetBufSize(8192);
  Comm->OutQueue->fSetBufSize(8192);
  Comm->HwInSize = 1200;
  Comm->HwOutSize = 1200;
  // The engine's own notification reports a lost line even while packaging
  // is off (the raw reply waits); the framer passes it on to this handler.
  Comm->OnCommNotify = [this](QuarlComm32::TComm32*, int notifyType) {
    if (!(notifyType & LineFailed)) return;
    {
      std::lock_guard lock(Lock);
      LineError = true;
    }
    Changed.notify_all();
  };
  Package = std::make_unique<TCommPackage>(Comm.get());
  Package->fSetQSize(16);
  Package->fSetPkgSz(4096);
  Package->fSetPkgType(QuarlComm32::cptFrameTimeout);
  Package->fSetPkgInterval(50);
  Package->SetPackageNotify([this](QuarlComm32::TObject*, int notifyType) { Notified(notifyType); });
  if (Interrupt)
    Interrupt->SetWaker([this] {
      { std::lock_guard lock(Lock); }  // a waiter is either waiting or yet to look
      Changed.notify_all();
    });
}

TReceiverLink::~TReceiverLink() {
  if (Interrupt) Interrupt->SetWaker(nullptr);
  Package->SetPackageNotify(nullptr);
  Package->fSetActive(false);
  try {
    Comm->Close();
  } catch (...) {
    // A thread that would not stop is joined by the engine when it goes.
  }
  Package.reset();  // gives the engine its own callback back
  Comm->OnCommNotify = nullptr;
}

void TReceiverLink::Notified(int notifyType) {
  {
    std::lock_guard lock(Lock);
    ++Notifications;
    if (notifyType & LineFailed) LineError = true;
    if (notifyType & TransmitEmpty) ++TransmitEmpties;
  }
  Changed.notify_all();
}

void TReceiverLink::Open(const std::string& port) {
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

bool TReceiverLink::Quiet() {
  Z500::QuietReceiver([this](const Z500::TFrame& frame) { Send(frame); }, Clock);
  std::vector<uint8_t> received, buf(Package->fGetPkgSz());
  while (const unsigned long n = Package->ReadPackage(buf.data(), static_cast<unsigned long>(buf.size())))
    received.insert(received.end(), buf.begin(), buf.begin() + static_cast<ptrdiff_t>(n));
  Package->PurgeRead();
  CheckInterrupt();
  return Z500::EchoesUnlog(received);
}

bool TReceiverLink::Send(const Z500::TFrame& frame) {
  {
    std::lock_guard lock(Lock);
    SentMark = TransmitEmpties;
  }
  return !frame.empty() &&
         Package->WritePackage(frame.data(), static_cast<unsigned long>(frame.size())) == frame.size();
}

bool TReceiverLink::Drain(TDeadline deadline) {
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
      Clock.Sleep(256 * 10 * 1000 / Baud);
      return true;
    }
    Changed.wait_until(lock, std::min(deadline, std::chrono::steady_clock::now() + Recheck));
  }
  return true;
}

TWaitEnd TReceiverLink::Wait(const Z500::TReplyRoutes& routes, bool upgrading, const std::function<bool()>& done,
                             TDeadline deadline) {
  uint8_t buf[Z500::ReplyBufferSize];
  for (;;) {
    for (;;) {
      const unsigned long n = Package->ReadPackage(buf, sizeof buf);
      if (n == 0) break;
      Z500::DispatchReply(std::span<const uint8_t>(buf, n), upgrading, routes);
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

TWaitEnd TReceiverLink::SendAndWaitForHead(const Z500::TFrame& frame, const Z500::TReplyHead& head,
                                           uint32_t limitMs) {
  // Packaging goes off before the frame is written: the framer would take a
  // quick answer in and lose it at the switch. Nothing received before the
  // frame can answer it, and its echo, if any, then comes first.
  Package->fSetActive(false);
  const auto read = [this](uint8_t* buf, long len) {
    return static_cast<long>(Comm->Read(buf, static_cast<int32_t>(len)));
  };
  Z500::DropReceived(read);
  const auto size = static_cast<int32_t>(frame.size());
  if (size == 0 || Comm->Write(frame.data(), size) != size) {
    Package->fSetActive(true);
    return TWaitEnd::LineLost;
  }
  Z500::TReplyScanner scanner(head, frame, false);
  uint32_t waitStart = 0, waitNow = 0;
  const bool found = Z500::WaitForReplyHead(
      read, scanner, limitMs, Clock, waitStart, waitNow, {}, [this] {
        // A line that has gone (a pulled cable) or an interrupt ends the
        // wait at once.
        std::lock_guard lock(Lock);
        return LineError || Interrupted();
      });
  Package->fSetActive(true);
  CheckInterrupt();
  if (found) return TWaitEnd::Done;
  std::lock_guard lock(Lock);
  return LineError ? TWaitEnd::LineLost : TWaitEnd::TimedOut;
}

}  // namespace Z500Ctl
