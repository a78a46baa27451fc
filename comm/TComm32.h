// TComm32: the serial port engine. While the port is open three threads of
// its own serve it: a reader that waits for port events and moves received
// bytes into InQueue, a writer that drains OutQueue into the port, and a timer
// that polls the modem lines. Users put bytes into OutQueue (Write, Command),
// take them from InQueue (Read) and hear of port events through OnCommNotify,
// which carries a Win32-style event mask: from the reader (received data,
// errors, modem lines), the writer (the transmit side has drained), the
// timer (carrier, ring) and the owner's thread (open, close).
//
// Errors: Open raises EComm32Error with the code of the step that failed, and
// leaves the engine closed; Close raises ecCloseReadThread or
// ecCloseWriteThread (a thread would not stop) after it has done all its
// other work. Nothing else raises: the other operations report by their
// result (bytes moved, false), and failures of the open port reach the
// listener as EV_ERR through OnCommNotify. An exception thrown by a callback
// is caught and counted (CallbackFailures); it never reaches the engine's
// threads.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "Dcb.h"
#include "EComm32Error.h"
#include "TCommQueue.h"
#include "TObject.h"

namespace QuarlComm32 {

class IPortMap;
class TComm32;
class TEvent;

using TCommNotifyEvent = std::function<void(TComm32* Sender, int NotifyType)>;
using TCommEvent = std::function<void(TComm32* Sender)>;

class TComm32 : public TObject {
public:
  // Flow control, numbered as the Hayes &K command numbers it.
  enum TFlowControl : int {
    fcNone = 0,
    fcRtsCts = 3,
    fcXonXoff = 4,
    fcTranXonXoff = 5,
    fcRtsCtsXonXoff = 6,
  };

  static constexpr const char* Fmt_COMn = "\\\\.\\COM%d";
  static constexpr const char* Fmt_InitModem = "ATE0&K%dS0=%d\r";
  static constexpr const char* Str_ResetModem = "ATZ\r";

  TComm32();
  ~TComm32() override;
  TComm32(const TComm32&) = delete;
  TComm32& operator=(const TComm32&) = delete;

  // -- Fields. The owner changes the settings that Open applies (DeviceName,
  // DCB, HwInSize, HwOutSize, PortMap) and the callbacks only while closed.
  int Handle = -1;  // the open port's descriptor; -1 while closed
  QuarlComm32::DCB DCB;
  std::atomic<bool> Active{false};
  std::atomic<bool> DisableWrite{false};
  bool DTR = true;  // DTR wish while closed, DTR state while open
  bool RTS = true;
  bool TransparentXonXoff = false;  // the last flow control set was fcTranXonXoff
  int32_t PortNo = 2;
  char DeviceName[32];  // "\\.\COMn", resolved through the port map at Open
  int32_t HwInSize = 1200;
  int32_t HwOutSize = 1200;
  uint8_t AutoAnswer = 0;
  std::unique_ptr<TCommQueue> InQueue;
  std::unique_ptr<TCommQueue> OutQueue;
  TCommNotifyEvent OnCommNotify;
  TCommEvent OnAfterOpen;
  TCommEvent OnBeforeClose;
  std::atomic<uint32_t> ModemStatus{0};
  uint32_t TimerInterval = 200;
  uint32_t RingInterval = 15;
  std::atomic<uint32_t> RingCount{0};
  // Where "COMn" names lead; nullptr: the program's default map.
  std::shared_ptr<const IPortMap> PortMap;
  // How long PurgeWrite waits for the writer to drop what it holds.
  uint32_t PurgeWaitMs = 500;
  // Reads the modem lines (TIOCM_* bits) of the open port; nullptr: the
  // device's own. Lets a test give a pseudo-terminal modem lines.
  using TModemLineReader = bool (*)(int fd, int& bits);
  TModemLineReader ModemLineReader = nullptr;
  // Reads the kernel's counts of lost received bytes; nullptr: TIOCGICOUNT
  // on the device. Lets a test give a pseudo-terminal such counters.
  using TLossReader = bool (*)(int fd, TLossCounters& c);
  TLossReader LossReader = nullptr;

  // -- Virtual operations.
  virtual int32_t Read(void* dest, int32_t count);
  virtual int32_t Write(const void* data, int32_t count);
  virtual int32_t Command(const char* text);
  virtual void PurgeRead(bool abort);
  virtual void PurgeWrite(bool abort);
  virtual void ResetModem();
  virtual void InitModem();
  virtual bool EscapeCommFunction(uint32_t function);
  virtual void Open();
  virtual void Close();
  virtual void CommNotify(int mask);
  virtual void CommAfterOpen();
  virtual void CommBeforeClose();
  virtual void fmsgCommTimer();

  // -- Properties.
  bool fGetDTR() const { return Active.load(std::memory_order_acquire) && DTR; }
  void fSetDTR(bool value);
  bool fGetRTS() const { return Active.load(std::memory_order_acquire) && RTS; }
  void fSetRTS(bool value);
  TFlowControl fGetFCtrl() const;
  void fSetFCtrl(TFlowControl value);

  // The events OnCommNotify's listener wants (default: all the reader
  // knows, 0x04BF). Received data and errors are watched whatever it says,
  // since the engine needs them itself. The drain of the transmit side
  // (EV_TXEMPTY, raised by the writer thread) is watched only while a
  // listener is set and asks for it. CTS, DSR and carrier changes are
  // watched, which on a device with modem lines means polling them every
  // 10 ms, only while a listener is set and asks for them here, or for CTS
  // when CTS flow control is on. Takes effect at once.
  uint32_t fGetNotifyMask() const { return NotifyMask.load(std::memory_order_acquire); }
  void fSetNotifyMask(uint32_t mask);

  // Sets PortNo and formats DeviceName from it.
  void SetPortNo(int32_t portNo);

  // For a package framer, which must not have its packages split by Write or
  // Command: queues all `count` bytes or none. A package larger than the
  // queue can ever hold goes in parts: then the queue takes nothing else
  // until the last part (continuation = true for every part after the first)
  // is in; Write and Command return 0 meanwhile. ReleaseHold gives up a
  // package whose rest will not come.
  int32_t WriteUnsplit(const void* data, int32_t count, bool continuation);
  void ReleaseHold();

  // How often the reader's event wait has woken since the port was opened
  // (0 while closed): a measure of the engine's idle cost.
  uint64_t EventWaitWakeups() const;

  // When the reader last put received bytes into InQueue (the clock's
  // epoch before the first). Stored before the bytes are published, so a
  // consumer that has taken bytes sees at least their time here.
  std::chrono::steady_clock::time_point LastReceiveTime() const {
    return std::chrono::steady_clock::time_point(
        std::chrono::steady_clock::duration(LastReceipt.load(std::memory_order_acquire)));
  }

  // Received bytes the port holds that the reader has not taken yet (0
  // while closed or when the device cannot tell).
  int32_t BytesInPort() const;
  // The open port's device has gone (hung up, or failed outright): the engine
  // reported it once with EV_ERR; the link can do nothing more.
  bool DeviceGone() const;

  // Received bytes the kernel lost (UART overrun, tty buffer overflow) while
  // the port was open, where the driver counts them; each loss is also
  // reported as EV_ERR. Bytes that do not fit InQueue are not lost: the
  // reader leaves them in the kernel until Read makes room.
  uint64_t fGetOverruns() const { return Overruns.load(std::memory_order_acquire); }
  // The CE_OVERRUN / CE_RXOVER marks gathered since the last call; clears them.
  uint32_t ClearCommErrors() { return CommErrors.exchange(0, std::memory_order_acq_rel); }

  // Exceptions the callbacks threw, which the engine caught, since it was
  // built; and the Closes that gave up on a thread (ecCloseReadThread,
  // ecCloseWriteThread; the destructor's included).
  uint64_t CallbackFailures() const { return CallbackFaults.load(std::memory_order_acquire); }
  uint64_t StopFailures() const { return StopFaults.load(std::memory_order_acquire); }

private:
  struct TOpenContext;
  struct TStraggler;
  struct TOpening;
  struct TReader;
  struct TWriter;

  static void _ReadThread(TComm32* comm, std::shared_ptr<TOpenContext> ctx);
  static void _WriteThread(TComm32* comm, std::shared_ptr<TOpenContext> ctx);
  static void _TimerThread(TComm32* comm, std::shared_ptr<TOpenContext> ctx);

  void ReapStragglers(bool wait);
  // Joins the threads that ended; keeps the others as stragglers.
  void DropThreads(const std::shared_ptr<TOpenContext>& ctx);
  int32_t _Send(const void* data, int32_t count, bool& queued);
  // _Send under the producer lock (unless a package is being queued in
  // parts), then wakes the writer when bytes were left in the queue.
  int32_t _SendWhole(const void* data, int32_t count);
  void WakeWriter();
  // The reader found InQueue full: it stops reading until a consumer makes
  // room and fires RoomEvent.
  void RoomMade();
  void CheckLosses(TOpenContext& ctx, uint32_t& mask);
  // The events the reader waits for, from NotifyMask and the engine's needs.
  uint32_t WaitMask(bool ctsFlow) const;
  // A listener asks for EV_TXEMPTY (which the writer then reports).
  bool TxEmptyWanted() const;

  std::thread ReadThread;
  std::thread WriteThread;
  std::thread TimerThread;
  // Everything the threads of one open share: the port, the events and the
  // run and alive flags. A thread holds it until it ends, so a thread that
  // Close gave up on (ecCloseReadThread, ecCloseWriteThread) never sees them
  // released, and a later Open cannot revive it.
  std::atomic<std::shared_ptr<TOpenContext>> Ctx;
  std::vector<TStraggler> Stragglers;
  std::atomic<uint32_t> NotifyMask{0x04BF};
  // Serialises the producers of OutQueue: the owner's Write and Command and a
  // framer that sends from the reader thread.
  std::mutex OutLock;
  bool OutHeld = false;  // a package is partly queued (OutLock)
  std::atomic<bool> RoomWanted{false};  // the reader waits for room in InQueue
  std::unique_ptr<TEvent> RoomEvent;  // auto-reset
  std::atomic<std::chrono::steady_clock::rep> LastReceipt{0};
  std::atomic<uint64_t> Overruns{0};
  std::atomic<uint32_t> CommErrors{0};
  std::atomic<uint64_t> CallbackFaults{0};
  std::atomic<uint64_t> StopFaults{0};
};

}  // namespace QuarlComm32
