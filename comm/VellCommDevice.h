// The comm device component: one serial port engine and one package framer
// behind a QObject, with the line settings, buffer sizes and package settings
// as properties, a raw byte mode and a package mode, and the notifications of
// the engine's and the framer's threads raised as events on the thread that
// created the component.
#pragma once

#include <QObject>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "TComm32.h"
#include "TCommPackage.h"

class QDialog;
class QWidget;

namespace QuarlComm32 {

// The framer's mark bytes, seen through the component. Holds a reference to
// the framer, which it does not own.
class TVellCommFrameSettings {
public:
  explicit TVellCommFrameSettings(TCommPackage* package) : Package(package) {}
  virtual ~TVellCommFrameSettings() = default;

  // Copies the three mark bytes; DoubleFrameMark stays as it is.
  void Assign(const TVellCommFrameSettings& source);

  unsigned char fGetFrameHead() const { return Package->FrameHead.load(std::memory_order_relaxed); }
  void fSetFrameHead(unsigned char v) { Package->FrameHead.store(v, std::memory_order_relaxed); }
  unsigned char fGetFrameTail() const { return Package->FrameTail.load(std::memory_order_relaxed); }
  void fSetFrameTail(unsigned char v) { Package->FrameTail.store(v, std::memory_order_relaxed); }
  unsigned char fGetFrameCtrl() const { return Package->FrameCtrl.load(std::memory_order_relaxed); }
  void fSetFrameCtrl(unsigned char v) { Package->FrameCtrl.store(v, std::memory_order_relaxed); }
  bool fGetDblFrMark() const { return Package->fGetDblFrameMark(); }
  void fSetDblFrMark(bool v) { Package->fSetDblFrameMark(v); }

private:
  TCommPackage* Package;
};

class TVellCustomCommDevice : public QObject {
  Q_OBJECT

public:
  enum TBaudRate : uint8_t {
    br110, br300, br600, br1200, br2400, br4800, br9600, br14400, br19200,
    br38400, br56000, br57600, br115200, br128000, br256000,
  };
  Q_ENUM(TBaudRate)
  enum TParity : uint8_t { ptNoParity, ptOddParity, ptEvenParity, ptMarkParity, ptSpaceParity };
  Q_ENUM(TParity)
  enum TStopBits : uint8_t { sbOneStopBit, sbOne_5_StopBits, sbTwoStopBit };
  Q_ENUM(TStopBits)
  enum TFlowControl : uint8_t { fcNone, fcRtsCts, fcXonXoff, fcTranXonXoff, fcRtsCtsXonXoff };
  Q_ENUM(TFlowControl)

  // The modem lines as a set of flags.
  enum TModemStatusFlag : uint8_t { msCTS = 0x01, msDSR = 0x02, msRING = 0x04, msRLSD = 0x08 };

  // Sender is always the device itself.
  using TCommNotifyEvent = std::function<void(QObject* Sender, int NotifyType)>;
  using TCommDeviceEvent = std::function<void(QObject* Sender)>;

  // The bit rate of each TBaudRate, in its order.
  static constexpr uint32_t BaudRates[] = {110,   300,   600,   1200,  2400,   4800,   9600,  14400,
                                           19200, 38400, 56000, 57600, 115200, 128000, 256000};

  explicit TVellCustomCommDevice(QObject* owner = nullptr);
  ~TVellCustomCommDevice() override;

  // -- Operations, virtual so that a derived class may take them over.
  // Counts are results; none of them throws (opening the port through
  // Active does, see fSetActive).
  virtual long Read(void* buf, long len);
  virtual long Write(const void* buf, long len);
  virtual long Command(const char* text);
  virtual bool ReadPackage(void* buf);
  virtual bool WritePackage(const void* buf);
  virtual unsigned long ReadPackage(void* buf, unsigned long len);
  virtual unsigned long WritePackage(const void* buf, unsigned long len);
  virtual void PurgeRead(bool abort);
  virtual void PurgeWrite(bool abort);
  // Creates the port settings dialog through SettingsDialogCreator, shows it
  // modally and destroys it; true when it was closed with OK.
  virtual bool SettingsDialog(QWidget* owner, bool open);
  virtual void ResetModem();
  virtual void InitModem();
  virtual bool EscapeCommFunction(unsigned long function);

  // Makes the port settings dialog for a device: owner, the open flag and
  // the device, as SettingsDialog passes them. The dialog's own unit sets it
  // to its dialog, so that the device does not depend on the dialog's
  // header; a program or test may put another in.
  using TSettingsDialogCreator = std::unique_ptr<QDialog> (*)(QWidget* owner, bool open,
                                                               TVellCustomCommDevice* device);
  static TSettingsDialogCreator SettingsDialogCreator;

  // -- Events. Set them while the port is closed.
  TCommNotifyEvent OnPackage;
  TCommNotifyEvent OnCommNotify;
  TCommDeviceEvent AfterOpen;
  TCommDeviceEvent BeforeClose;

  // -- Properties. Setters of line settings and driver sizes close the port;
  // the owner reopens it by setting Active.
  bool fGetActive() const;
  void fSetActive(bool value);  // throws EComm32Error when the port cannot be opened
  int fGetPortNo() const { return Comm->PortNo; }
  void fSetPortNo(int n);
  TBaudRate fGetBaud() const;
  void fSetBaud(TBaudRate value);
  TParity fGetParity() const;
  void fSetParity(TParity value);
  int fGetByteSize() const { return Comm->DCB.ByteSize; }
  void fSetByteSize(int value);
  TStopBits fGetStopBits() const;
  void fSetStopBits(TStopBits value);
  TFlowControl fGetFlowControl() const;
  void fSetFlowControl(TFlowControl value);
  int fGetAutoAnswer() const { return Comm->AutoAnswer; }
  void fSetAutoAnswer(int value);
  bool fGetSyncEvents() const { return SyncEvents.load(std::memory_order_acquire); }
  void fSetSyncEvents(bool value) { SyncEvents.store(value, std::memory_order_release); }
  long fGetInBufSize() const { return Comm->InQueue->fGetBufSize(); }
  void fSetInBufSize(long n);
  long fGetOutBufSize() const { return Comm->OutQueue->fGetBufSize(); }
  void fSetOutBufSize(long n);
  long fGetHwInSize() const { return Comm->HwInSize; }
  void fSetHwInSize(long n);
  long fGetHwOutSize() const { return Comm->HwOutSize; }
  void fSetHwOutSize(long n);
  long fGetQueueSize() const { return Package->fGetQSize(); }
  void fSetQueueSize(long n) { Package->fSetQSize(static_cast<unsigned long>(n)); }
  long fGetPackageSize() const { return static_cast<long>(Package->fGetPkgSz()); }
  void fSetPackageSize(long n) { Package->fSetPkgSz(n > 0 ? static_cast<unsigned long>(n) : 0); }
  TCommPackageType fGetPackageType() const { return Package->fGetPkgType(); }
  void fSetPackageType(TCommPackageType type) { Package->fSetPkgType(type); }
  long fGetPackageInterval() const { return static_cast<long>(Package->fGetPkgInterval()); }
  void fSetPackageInterval(long ms) { Package->fSetPkgInterval(ms > 0 ? static_cast<unsigned long>(ms) : 0); }
  // The engine's events OnCommNotify and OnPackage hear of, beyond received
  // data and transmit-empty: CTS, DSR and carrier changes (0x0038) only when
  // asked for here, since watching them costs a wake-up every 10 ms on a
  // device with modem lines. Default 0x0487: data, transmit-empty, errors.
  static constexpr long DefaultNotifyMask = 0x0487;
  long fGetNotifyMask() const { return static_cast<long>(Comm->fGetNotifyMask()); }
  void fSetNotifyMask(long mask) { Comm->fSetNotifyMask(static_cast<uint32_t>(mask)); }
  bool fGetUsePackage() const { return UsePackage; }
  void fSetUsePackage(bool value);
  TVellCommFrameSettings* fGetFrameSettings() const { return FrameSettings.get(); }
  void fSetFrameSettings(const TVellCommFrameSettings* source);

  int fGetHandle() const { return Comm->Handle; }
  bool fGetDeviceGone() const { return Comm->DeviceGone(); }
  TCommQueue* fGetInQueue() const { return Comm->InQueue.get(); }
  TCommQueue* fGetOutQueue() const { return Comm->OutQueue.get(); }
  uint8_t fGetModemStatus() const;
  bool fGetCTS() const { return (fGetModemStatus() & msCTS) != 0; }
  bool fGetDSR() const { return (fGetModemStatus() & msDSR) != 0; }
  bool fGetRING() const { return (fGetModemStatus() & msRING) != 0; }
  bool fGetRLSD() const { return (fGetModemStatus() & msRLSD) != 0; }
  bool fGetDTR() const { return Comm->fGetDTR(); }
  void fSetDTR(bool value) { Comm->fSetDTR(value); }
  bool fGetRTS() const { return Comm->fGetRTS(); }
  void fSetRTS(bool value) { Comm->fSetRTS(value); }
  bool fGetDisableWrite() const { return Comm->DisableWrite.load(std::memory_order_acquire); }
  void fSetDisableWrite(bool value) { Comm->DisableWrite.store(value, std::memory_order_release); }

  // Where "COMn" names lead (nullptr: the program's default map). Set it while
  // the port is closed.
  void SetPortMap(std::shared_ptr<const IPortMap> map) { Comm->PortMap = std::move(map); }
  std::shared_ptr<const IPortMap> GetPortMap() const { return Comm->PortMap; }

signals:
  // Carries one notification from the thread that raised it to the device's
  // own thread, through a queued connection to _EvNotifyProc: one delivery
  // per notification, in the order they were raised. Only the device emits it.
  void _NotifyQueued(int message, QuarlComm32::TObject* Sender, int NotifyType, QPrivateSignal);

protected:
  // Notification steps; a derived class may take them over.
  virtual void EvCommNotify(TObject* Sender, int NotifyType);
  virtual void EvPackageNotify(TObject* Sender, int NotifyType);
  virtual void EvAfterOpen(TObject* Sender);
  virtual void EvBeforeClose(TObject* Sender);

  // Silences the device and stops every thread that could call into it: the
  // first step of destruction. A class that derives further and lets
  // handlers run on those threads (SyncEvents false) calls it first thing in
  // its own destructor, so that no virtual call meets a half-destroyed object.
  void _Shutdown();

  // The owned engine and framer, for a derived class that needs more of them.
  std::unique_ptr<TComm32> Comm;
  std::unique_ptr<TCommPackage> Package;

private:
  void _EvComm(TObject* Sender, int NotifyType);
  void _EvPackage(TObject* Sender, int NotifyType);
  void _EvAfterOpen(TObject* Sender);
  void _EvBeforeClose(TObject* Sender);
  // Raises a queued notification on the device's own thread.
  void _EvNotifyProc(int message, TObject* Sender, int NotifyType);
  // Closes the port (whether or not it was open) and switches the framer
  // off, so that nothing touches the queues while they are changed; setting
  // Active again switches both back on.
  void _ClosePort();

  std::unique_ptr<TVellCommFrameSettings> FrameSettings;
  bool UsePackage = false;
  std::atomic<bool> SyncEvents{true};
  // Set first thing in the destructor: from then on no event reaches the owner.
  std::atomic<bool> Destroying{false};
};

// The published face of the component: its settings as Qt properties.
class TVellCommDevice : public TVellCustomCommDevice {
  Q_OBJECT
  Q_PROPERTY(int PortNo READ fGetPortNo WRITE fSetPortNo)
  Q_PROPERTY(TBaudRate Baud READ fGetBaud WRITE fSetBaud)
  Q_PROPERTY(TParity Parity READ fGetParity WRITE fSetParity)
  Q_PROPERTY(int ByteSize READ fGetByteSize WRITE fSetByteSize)
  Q_PROPERTY(TStopBits StopBits READ fGetStopBits WRITE fSetStopBits)
  Q_PROPERTY(TFlowControl FlowControl READ fGetFlowControl WRITE fSetFlowControl)
  Q_PROPERTY(int AutoAnswer READ fGetAutoAnswer WRITE fSetAutoAnswer)
  Q_PROPERTY(bool SyncEvents READ fGetSyncEvents WRITE fSetSyncEvents)
  Q_PROPERTY(long InBufSize READ fGetInBufSize WRITE fSetInBufSize)
  Q_PROPERTY(long OutBufSize READ fGetOutBufSize WRITE fSetOutBufSize)
  Q_PROPERTY(long HwInSize READ fGetHwInSize WRITE fSetHwInSize)
  Q_PROPERTY(long HwOutSize READ fGetHwOutSize WRITE fSetHwOutSize)
  Q_PROPERTY(long QueueSize READ fGetQueueSize WRITE fSetQueueSize)
  Q_PROPERTY(long PackageSize READ fGetPackageSize WRITE fSetPackageSize)
  Q_PROPERTY(QuarlComm32::TCommPackageType PackageType READ fGetPackageType WRITE fSetPackageType)
  Q_PROPERTY(long PackageInterval READ fGetPackageInterval WRITE fSetPackageInterval)
  Q_PROPERTY(long NotifyMask READ fGetNotifyMask WRITE fSetNotifyMask)
  Q_PROPERTY(bool UsePackage READ fGetUsePackage WRITE fSetUsePackage)

public:
  using TVellCustomCommDevice::TVellCustomCommDevice;
  ~TVellCommDevice() override { _Shutdown(); }
};

}  // namespace QuarlComm32
