#include "VellCommDevice.h"

#include <QDialog>

#include <algorithm>
#include <climits>

namespace QuarlComm32 {

namespace {

// The two notifications, numbered as the window messages that carry them on
// Windows (WM_USER + 2 and + 3).
constexpr int kCommMessage = 0x0402;
constexpr int kPackageMessage = 0x0403;

}  // namespace

void TVellCommFrameSettings::Assign(const TVellCommFrameSettings& source) {
  fSetFrameHead(source.fGetFrameHead());
  fSetFrameTail(source.fGetFrameTail());
  fSetFrameCtrl(source.fGetFrameCtrl());
}

// ---------------------------------------------------------------------------
// Construction and destruction

TVellCustomCommDevice::TVellCustomCommDevice(QObject* owner) : QObject(owner) {
  // Queued even when raised on the device's own thread; the queue is the
  // device's, so what is still queued when it goes is dropped with it.
  connect(this, &TVellCustomCommDevice::_NotifyQueued, this, &TVellCustomCommDevice::_EvNotifyProc,
          Qt::QueuedConnection);
  Comm = std::make_unique<TComm32>();
  Comm->OnCommNotify = [this](TComm32* sender, int notifyType) { _EvComm(sender, notifyType); };
  Comm->OnAfterOpen = [this](TComm32* sender) { _EvAfterOpen(sender); };
  Comm->OnBeforeClose = [this](TComm32* sender) { _EvBeforeClose(sender); };
  Comm->fSetNotifyMask(DefaultNotifyMask);
  Package = std::make_unique<TCommPackage>(Comm.get());
  Package->SetPackageNotify([this](TObject* sender, int notifyType) { _EvPackage(sender, notifyType); });
  FrameSettings = std::make_unique<TVellCommFrameSettings>(Package.get());
}

// No event reaches the owner from here on. The port is closed before the
// engine's callbacks are cleared, so that no thread of the engine still runs
// while they change.
void TVellCustomCommDevice::_Shutdown() {
  if (Destroying.exchange(true, std::memory_order_acq_rel)) return;
  ShutdownLink(*Comm, *Package);
}

TVellCustomCommDevice::~TVellCustomCommDevice() {
  _Shutdown();
  FrameSettings.reset();
  Package.reset();  // gives the engine its own callback back
  Comm->OnCommNotify = nullptr;
  Comm->OnAfterOpen = nullptr;
  Comm->OnBeforeClose = nullptr;
  Comm.reset();
}

// ---------------------------------------------------------------------------
// Notifications

void TVellCustomCommDevice::_EvComm(TObject* Sender, int NotifyType) {
  if (Destroying.load(std::memory_order_acquire)) return;
  if (fGetSyncEvents()) emit _NotifyQueued(kCommMessage, Sender, NotifyType, QPrivateSignal());
  else EvCommNotify(Sender, NotifyType);
}

void TVellCustomCommDevice::_EvPackage(TObject* Sender, int NotifyType) {
  if (Destroying.load(std::memory_order_acquire)) return;
  if (fGetSyncEvents()) emit _NotifyQueued(kPackageMessage, Sender, NotifyType, QPrivateSignal());
  else EvPackageNotify(Sender, NotifyType);
}

void TVellCustomCommDevice::_EvAfterOpen(TObject* Sender) {
  if (!Destroying.load(std::memory_order_acquire)) EvAfterOpen(Sender);
}

void TVellCustomCommDevice::_EvBeforeClose(TObject* Sender) {
  if (!Destroying.load(std::memory_order_acquire)) EvBeforeClose(Sender);
}

void TVellCustomCommDevice::_EvNotifyProc(int message, TObject* Sender, int NotifyType) {
  if (Destroying.load(std::memory_order_acquire)) return;
  if (message == kCommMessage) EvCommNotify(Sender, NotifyType);
  else if (message == kPackageMessage) EvPackageNotify(Sender, NotifyType);
}

void TVellCustomCommDevice::EvCommNotify(TObject*, int NotifyType) {
  if (OnCommNotify) OnCommNotify(this, NotifyType);
}

void TVellCustomCommDevice::EvPackageNotify(TObject*, int NotifyType) {
  if (OnPackage) OnPackage(this, NotifyType);
}

void TVellCustomCommDevice::EvAfterOpen(TObject*) {
  if (AfterOpen) AfterOpen(this);
}

void TVellCustomCommDevice::EvBeforeClose(TObject*) {
  if (BeforeClose) BeforeClose(this);
}

// ---------------------------------------------------------------------------
// Data operations

long TVellCustomCommDevice::Read(void* buf, long len) {
  if (len < 0) return 0;
  if (UsePackage) return static_cast<long>(Package->ReadPackage(buf, static_cast<unsigned long>(len)));
  return Comm->Read(buf, static_cast<int32_t>(std::min<long>(len, INT32_MAX)));
}

long TVellCustomCommDevice::Write(const void* buf, long len) {
  if (len < 0) return 0;
  if (UsePackage) return static_cast<long>(Package->WritePackage(buf, static_cast<unsigned long>(len)));
  return Comm->Write(buf, static_cast<int32_t>(std::min<long>(len, INT32_MAX)));
}

long TVellCustomCommDevice::Command(const char* text) { return Comm->Command(text); }

bool TVellCustomCommDevice::ReadPackage(void* buf) { return Package->ReadPackage(buf, 0) != 0; }

bool TVellCustomCommDevice::WritePackage(const void* buf) { return Package->WritePackage(buf, 0) != 0; }

unsigned long TVellCustomCommDevice::ReadPackage(void* buf, unsigned long len) {
  return Package->ReadPackage(buf, len);
}

unsigned long TVellCustomCommDevice::WritePackage(const void* buf, unsigned long len) {
  return Package->WritePackage(buf, len);
}

void TVellCustomCommDevice::PurgeRead(bool abort) {
  if (UsePackage) Package->PurgeRead();
  else Comm->PurgeRead(abort);
}

void TVellCustomCommDevice::PurgeWrite(bool abort) {
  if (UsePackage) Package->PurgeWrite();
  else Comm->PurgeWrite(abort);
}

bool TVellCustomCommDevice::SettingsDialog(QWidget* owner, bool open) {
  if (SettingsDialogCreator == nullptr) return false;
  const std::unique_ptr<QDialog> dialog = SettingsDialogCreator(owner, open, this);
  return dialog && dialog->exec() == QDialog::Accepted;
}

void TVellCustomCommDevice::ResetModem() { Comm->ResetModem(); }

void TVellCustomCommDevice::InitModem() { Comm->InitModem(); }

bool TVellCustomCommDevice::EscapeCommFunction(unsigned long function) {
  return Comm->EscapeCommFunction(static_cast<uint32_t>(function));
}

// ---------------------------------------------------------------------------
// Active and the package mode

bool TVellCustomCommDevice::fGetActive() const {
  const bool open = Comm->Active.load(std::memory_order_acquire);
  return UsePackage ? open && Package->fGetActive() : open;
}

void TVellCustomCommDevice::fSetActive(bool value) {
  if (value != Comm->Active.load(std::memory_order_acquire)) {
    if (value) {
      Comm->Open();  // throws when the port cannot be opened; nothing else changes
    } else {
      try {
        Comm->Close();
      } catch (...) {
        if (Package->fGetActive()) Package->fSetActive(false);
        throw;
      }
    }
  }
  const bool framing = UsePackage && value;
  if (Package->fGetActive() != framing) Package->fSetActive(framing);
}

void TVellCustomCommDevice::fSetUsePackage(bool value) {
  const bool active = fGetActive();
  UsePackage = value;
  fSetActive(active);
}

void TVellCustomCommDevice::_ClosePort() {
  Comm->Close();
  if (Package->fGetActive()) Package->fSetActive(false);
}

// ---------------------------------------------------------------------------
// Line settings

void TVellCustomCommDevice::fSetPortNo(int n) {
  _ClosePort();
  Comm->SetPortNo(n);
}

TVellCustomCommDevice::TBaudRate TVellCustomCommDevice::fGetBaud() const {
  const auto* end = std::end(BaudRates);
  const auto* it = std::find(std::begin(BaudRates), end, Comm->DCB.BaudRate);
  return it == end ? br115200 : static_cast<TBaudRate>(it - std::begin(BaudRates));
}

void TVellCustomCommDevice::fSetBaud(TBaudRate value) {
  _ClosePort();
  Comm->DCB.BaudRate = value <= br256000 ? BaudRates[value] : 115200;
}

TVellCustomCommDevice::TParity TVellCustomCommDevice::fGetParity() const {
  const auto code = Comm->DCB.Parity;
  return code <= ptSpaceParity ? static_cast<TParity>(code) : ptNoParity;
}

void TVellCustomCommDevice::fSetParity(TParity value) {
  _ClosePort();
  Comm->DCB.Parity = value <= ptSpaceParity ? value : 0;
}

void TVellCustomCommDevice::fSetByteSize(int value) {
  value = std::clamp(value, 0, 255);
  _ClosePort();
  Comm->DCB.ByteSize = static_cast<uint8_t>(value);
}

TVellCustomCommDevice::TStopBits TVellCustomCommDevice::fGetStopBits() const {
  const auto code = Comm->DCB.StopBits;
  return code <= sbTwoStopBit ? static_cast<TStopBits>(code) : sbOneStopBit;
}

void TVellCustomCommDevice::fSetStopBits(TStopBits value) {
  _ClosePort();
  Comm->DCB.StopBits = value <= sbTwoStopBit ? value : 0;
}

TVellCustomCommDevice::TFlowControl TVellCustomCommDevice::fGetFlowControl() const {
  switch (Comm->fGetFCtrl()) {
    case TComm32::fcRtsCts: return fcRtsCts;
    case TComm32::fcXonXoff: return fcXonXoff;
    case TComm32::fcTranXonXoff: return fcTranXonXoff;
    case TComm32::fcRtsCtsXonXoff: return fcRtsCtsXonXoff;
    default: return fcNone;
  }
}

void TVellCustomCommDevice::fSetFlowControl(TFlowControl value) {
  static constexpr TComm32::TFlowControl codes[] = {TComm32::fcNone, TComm32::fcRtsCts, TComm32::fcXonXoff,
                                                    TComm32::fcTranXonXoff, TComm32::fcRtsCtsXonXoff};
  _ClosePort();
  Comm->fSetFCtrl(value <= fcRtsCtsXonXoff ? codes[value] : TComm32::fcNone);
}

void TVellCustomCommDevice::fSetAutoAnswer(int value) { Comm->AutoAnswer = static_cast<uint8_t>(std::clamp(value, 0, 255)); }

// The engine's threads fill and drain the queues while the port is open, so
// a queue is resized only with the port closed.
void TVellCustomCommDevice::fSetInBufSize(long n) {
  _ClosePort();
  Comm->InQueue->fSetBufSize(static_cast<int32_t>(std::clamp<long>(n, 0, INT32_MAX)));
}

void TVellCustomCommDevice::fSetOutBufSize(long n) {
  _ClosePort();
  Comm->OutQueue->fSetBufSize(static_cast<int32_t>(std::clamp<long>(n, 0, INT32_MAX)));
}

void TVellCustomCommDevice::fSetHwInSize(long n) {
  _ClosePort();
  Comm->HwInSize = static_cast<int32_t>(std::clamp<long>(n, INT32_MIN, INT32_MAX));
}

void TVellCustomCommDevice::fSetHwOutSize(long n) {
  _ClosePort();
  Comm->HwOutSize = static_cast<int32_t>(std::clamp<long>(n, INT32_MIN, INT32_MAX));
}

void TVellCustomCommDevice::fSetFrameSettings(const TVellCommFrameSettings* source) {
  if (source != nullptr) FrameSettings->Assign(*source);
}

uint8_t TVellCustomCommDevice::fGetModemStatus() const {
  return static_cast<uint8_t>((Comm->ModemStatus.load(std::memory_order_acquire) >> 4) & 0x0F);
}

}  // namespace QuarlComm32
