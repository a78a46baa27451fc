#include "TComm32.h"

#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <system_error>
#include <utility>

#include "Event.h"
#include "PortMap.h"
#include "SerialDriver.h"
#include "ThreadState.h"

namespace QuarlComm32 {

namespace {
constexpr uint32_t kReaderMask = 0x04BF;  // all but EV_BREAK and EV_RING
// Sent at open and close, and watched by the reader: the modem lines (CTS,
// DSR, carrier) may have changed.
constexpr uint32_t kModemLineEvents = EV_CTS | EV_DSR | EV_RLSD;
// A thread that has not stopped within kStopLimit is given up on when it is
// blocked (a notification handler that waits for something); one that runs,
// or waits for a processor on a loaded machine, is waited for up to
// kRunnableLimit, so that a normal close does not end in an error.
constexpr auto kStopLimit = std::chrono::milliseconds(500);
constexpr auto kRunnableLimit = std::chrono::seconds(10);
constexpr auto kRunnableLook = std::chrono::milliseconds(50);
// After this many wake-ups in a row that found nothing to read, the reader
// pauses before it waits again, so that a device that keeps saying "readable"
// without data cannot make it spin.
constexpr int kEmptyWakesBeforePause = 3;
constexpr int kEmptyWakePauseMs = 10;

// The open whose reader runs on this thread, if any: a write made from the
// reader's notification handler has its drain reported by the reader.
thread_local const void* tReaderOf = nullptr;

// A read error that means the device is no longer there; "nothing now"
// (EAGAIN, EINTR, or 0 bytes) never does.
bool DeviceLost(int error) { return error != EAGAIN && error != EWOULDBLOCK && error != EINTR; }

// Only a COM name with a number from 1 up, or an absolute path, names a
// device: anything else would be opened relative to the current folder.
bool NamesADevice(const char* deviceName, int comNumber) {
  if (comNumber > 0) return true;
  return deviceName[0] == '/';
}
}  // namespace

// The Win32 overlapped records and their events have no counterpart here:
// non-blocking calls and poll() take their place inside the driver.
struct TComm32::TOpenContext {
  TSerialDriver Port;
  TEvent ReadStopEvent;
  TEvent TimerStopEvent;
  TEvent WriteRequestEvent;
  TEvent WriteStopEvent;
  TEvent WritePurgeEvent{TEvent::rmAuto};
  TEvent WritePurgeDone{TEvent::rmAuto};
  // PurgeWrite's ticket: the number of the request the writer is to carry
  // out (0: none), and of the last one it carried out. A request that timed
  // out is withdrawn, so it neither runs late nor answers the next one.
  std::atomic<uint32_t> PurgePending{0};
  std::atomic<uint32_t> PurgeDone{0};
  uint32_t PurgeTickets = 0;  // owner's thread only
  std::atomic<bool> ReadRun{false}, ReadAlive{false};
  std::atomic<bool> WriteRun{false}, WriteAlive{false};
  std::atomic<bool> TimerRun{false}, TimerAlive{false};
  // Each thread's kernel id, from its first step (0 until then).
  std::atomic<pid_t> ReadTid{0}, WriteTid{0}, TimerTid{0};
  // Set by each thread as it ends, so that Close need not sleep in steps.
  TEvent ThreadEnded;
  // Bumped by PurgeRead: a block read from the port before the purge is not
  // put into InQueue after it.
  std::atomic<uint32_t> ReadPurges{0};
  bool OutxCtsFlow = false;
  // The kernel's loss counters as the reader last saw them (reader only
  // after Open), where the device has them.
  // A listener wants EV_TXEMPTY; the caller's thread handed the port bytes
  // whose drain the writer is to report.
  std::atomic<bool> TxEmptyWanted{false};
  std::atomic<bool> TxPending{false};
  // The reader's handler handed the port bytes itself (reader thread only).
  bool ReaderTxPending = false;
  // The writer waits for the port's output to drain before it reports it.
  std::atomic<bool> WriterDraining{false};
  bool HasLossCounters = false;
  TLossCounters LossSeen;

  void RequestStop();
  bool AnyAlive() const;
  bool AnyRunnable() const;
  TErrorCode AwaitThreads();
};

struct TComm32::TStraggler {
  std::thread Thread;
  std::shared_ptr<TOpenContext> Ctx;
  const std::atomic<bool>* Alive;
  bool Writer;
};

TComm32::TComm32() : RoomEvent(std::make_unique<TEvent>(TEvent::rmAuto)) {
  std::memset(&DCB, 0, sizeof DCB);
  DCB.DCBlength = sizeof DCB;
  DCB.BaudRate = 115200;
  DCB.ByteSize = 8;
  DCB.Parity = NOPARITY;
  DCB.StopBits = ONESTOPBIT;
  DCB.fBinary = 1;
  DCB.fDtrControl = DTR_CONTROL_ENABLE;
  DCB.fRtsControl = RTS_CONTROL_ENABLE;
  DCB.XonLim = 2048;
  DCB.XoffLim = 512;
  DCB.XonChar = 0x11;
  DCB.XoffChar = 0x13;
  SetPortNo(2);
  InQueue = std::make_unique<TCommQueue>(8192);
  OutQueue = std::make_unique<TCommQueue>(8192);
}

TComm32::~TComm32() {
  try {
    Close();
  } catch (...) {
    // Counted by Close (StopFailures); the straggler is joined below.
  }
  // A thread Close gave up on still uses the queues and may call back into
  // this object: wait for it before they go.
  ReapStragglers(true);
  OutQueue.reset();
  InQueue.reset();
}

void TComm32::SetPortNo(int32_t portNo) {
  PortNo = portNo;
  std::snprintf(DeviceName, sizeof DeviceName, Fmt_COMn, portNo);
}

int32_t TComm32::Read(void* dest, int32_t count) {
  if (count <= 0 || dest == nullptr) return 0;
  const int32_t n = InQueue->Out(dest, count);
  if (n > 0) RoomMade();
  return n;
}

// The reader sets RoomWanted and then looks at the queue once more; this
// side frees room and then clears RoomWanted. Both sides change the flag
// with a read-modify-write, and such changes of one atomic are totally
// ordered: either this exchange reads the reader's mark and fires
// RoomEvent, or the reader's later exchange reads this one and, acquire
// on release, sees the room made before it.
void TComm32::RoomMade() {
  if (RoomWanted.exchange(false, std::memory_order_release)) RoomEvent->Set();
}

// Under OutLock. When the transmit queue is empty, everything queued before
// has reached the port (the writer takes bytes out of the queue only after
// the port accepted them), so the caller may hand the bytes to the port
// itself, without waking the writer; what the port does not take goes into
// the queue for the writer, in order. Returns the bytes taken; `queued`
// tells whether the writer has work.
int32_t TComm32::_Send(const void* data, int32_t count, bool& queued) {
  int32_t sent = 0;
  if (OutQueue->Count() == 0) {
    auto ctx = Ctx.load(std::memory_order_acquire);
    if (ctx && ctx->WriteAlive.load(std::memory_order_acquire) && !ctx->Port.Gone()) {
      const ssize_t n = ctx->Port.Write(data, static_cast<size_t>(count));
      if (n > 0) sent = static_cast<int32_t>(n);
      if (sent == count) {
        queued = false;
        if (ctx->TxEmptyWanted.load(std::memory_order_acquire)) {
          // On the reader's thread the reader reports the drain when the
          // handler returns, which spares a wake-up of the writer per reply.
          if (tReaderOf == ctx.get()) ctx->ReaderTxPending = true;
          else if (!ctx->TxPending.exchange(true, std::memory_order_acq_rel)) ctx->WriteRequestEvent.Set();
        }
        return count;
      }
    }
  }
  const int32_t n = OutQueue->In(static_cast<const uint8_t*>(data) + sent, count - sent);
  queued = n > 0 || OutQueue->Count() > 0;
  return sent + n;
}

int32_t TComm32::_SendWhole(const void* data, int32_t count) {
  int32_t n = 0;
  bool queued = true;
  {
    std::lock_guard lock(OutLock);
    if (!OutHeld) n = _Send(data, count, queued);
  }
  if (queued) WakeWriter();
  return n;
}

int32_t TComm32::Write(const void* data, int32_t count) {
  if (DisableWrite.load(std::memory_order_acquire) || count <= 0 || data == nullptr) return 0;
  return _SendWhole(data, count);
}

int32_t TComm32::Command(const char* text) {
  if (text == nullptr) return 0;
  const auto count = static_cast<int32_t>(std::strlen(text));
  return count == 0 ? 0 : _SendWhole(text, count);
}

int32_t TComm32::WriteUnsplit(const void* data, int32_t count, bool continuation) {
  if (DisableWrite.load(std::memory_order_acquire) || count <= 0 || data == nullptr) return 0;
  int32_t n = 0;
  bool queued = true;
  {
    std::lock_guard lock(OutLock);
    const bool neverFits = count > OutQueue->fGetBufSize() - 1;
    if (continuation || neverFits || count <= OutQueue->FreeSpace()) n = _Send(data, count, queued);
    OutHeld = n < count && (n > 0 || continuation);
  }
  if (queued) WakeWriter();
  return n;
}

void TComm32::ReleaseHold() {
  std::lock_guard lock(OutLock);
  OutHeld = false;
}

uint64_t TComm32::EventWaitWakeups() const {
  auto ctx = Ctx.load(std::memory_order_acquire);
  return ctx ? ctx->Port.Wakeups() : 0;
}

int32_t TComm32::BytesInPort() const {
  auto ctx = Ctx.load(std::memory_order_acquire);
  if (!ctx || !ctx->Port.IsOpen() || ctx->Port.Gone()) return 0;
  const int n = ctx->Port.BytesWaiting();
  return n > 0 ? n : 0;
}

bool TComm32::DeviceGone() const {
  auto ctx = Ctx.load(std::memory_order_acquire);
  return ctx && ctx->Port.Gone();
}

uint32_t TComm32::WaitMask(bool ctsFlow) const {
  uint32_t mask = EV_RXCHAR | EV_TXEMPTY | EV_ERR;
  if (OnCommNotify) mask |= NotifyMask.load(std::memory_order_acquire);
  if (ctsFlow) mask |= EV_CTS;
  return mask & kReaderMask;
}

void TComm32::fSetNotifyMask(uint32_t mask) {
  NotifyMask.store(mask, std::memory_order_release);
  if (auto ctx = Ctx.load(std::memory_order_acquire)) {
    ctx->TxEmptyWanted.store(TxEmptyWanted(), std::memory_order_release);
    ctx->Port.SetMask(WaitMask(ctx->OutxCtsFlow));
  }
}

bool TComm32::TxEmptyWanted() const {
  return OnCommNotify && (NotifyMask.load(std::memory_order_acquire) & EV_TXEMPTY);
}

// While closed there is no writer: the bytes wait in the queue for the next
// open and the write after it.
void TComm32::WakeWriter() {
  if (auto ctx = Ctx.load(std::memory_order_acquire)) ctx->WriteRequestEvent.Set();
}

// The receive queue is emptied from the consumer's side (Discard moves only
// the read index), so the reader may go on filling it meanwhile; a block the
// reader took from the port before the purge is dropped by the purge count.
// PurgeRead counts as a read: call it from the thread that reads.
void TComm32::PurgeRead(bool abort) {
  if (!Active.load(std::memory_order_acquire)) return;
  auto ctx = Ctx.load(std::memory_order_acquire);
  if (!ctx) return;
  ctx->ReadPurges.fetch_add(1, std::memory_order_acq_rel);
  ctx->Port.Purge(PURGE_RXCLEAR | (abort ? PURGE_RXABORT : 0));
  InQueue->Discard();
  RoomMade();
}

// Only the writer thread consumes OutQueue, so the purge is handed to it: it
// drops what the queue holds and its unsent piece, then answers. The caller
// fills the queue, so nothing new can slip in between. The transfer path
// takes no lock; it only looks at one more event when it wakes.
void TComm32::PurgeWrite(bool abort) {
  if (!Active.load(std::memory_order_acquire)) return;
  auto ctx = Ctx.load(std::memory_order_acquire);
  if (!ctx) return;
  if (ctx->WriteAlive.load(std::memory_order_acquire)) {
    uint32_t ticket = ++ctx->PurgeTickets;
    if (ticket == 0) ticket = ++ctx->PurgeTickets;  // 0 means "no request"
    ctx->PurgePending.store(ticket, std::memory_order_release);
    ctx->WritePurgeEvent.Set();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(PurgeWaitMs);
    auto answered = [&] { return ctx->PurgeDone.load(std::memory_order_acquire) == ticket; };
    while (!answered()) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        // Withdrawn unless the writer has taken it already; then its answer
        // is a moment away and worth one more wait.
        uint32_t expected = ticket;
        if (ctx->PurgePending.compare_exchange_strong(expected, 0, std::memory_order_acq_rel)) break;
        const auto taken = std::chrono::steady_clock::now();
        while (!answered() && std::chrono::steady_clock::now() - taken < kStopLimit)
          ctx->WritePurgeDone.Wait(static_cast<int>(kStopLimit.count()));
        break;
      }
      ctx->WritePurgeDone.Wait(static_cast<int>(left.count()));
    }
  } else {
    OutQueue->Discard();
  }
  {
    std::lock_guard lock(OutLock);
    OutHeld = false;  // a package that was partly queued is gone with the queue
  }
  ctx->Port.Purge(PURGE_TXCLEAR | (abort ? PURGE_TXABORT : 0));
}

void TComm32::ResetModem() { Command(Str_ResetModem); }

void TComm32::InitModem() {
  char text[64];
  std::snprintf(text, sizeof text, Fmt_InitModem, static_cast<int>(fGetFCtrl()), static_cast<int>(AutoAnswer));
  Command(text);
}

bool TComm32::EscapeCommFunction(uint32_t function) {
  if (!Active.load(std::memory_order_acquire)) return false;
  auto ctx = Ctx.load(std::memory_order_acquire);
  if (!ctx || ctx->Port.Escape(function) != 0) return false;
  switch (function) {
    case SETRTS: RTS = true; break;
    case CLRRTS: RTS = false; break;
    case SETDTR: DTR = true; break;
    case CLRDTR: DTR = false; break;
    default: break;
  }
  return true;
}

void TComm32::ReapStragglers(bool wait) {
  for (auto it = Stragglers.begin(); it != Stragglers.end();) {
    if (wait || !it->Alive->load(std::memory_order_acquire)) {
      it->Thread.join();
      it = Stragglers.erase(it);
    } else {
      ++it;
    }
  }
}

// One Open, step by step: each step records the first failure and stops.
struct TComm32::TOpening {
  TComm32& Comm;
  std::shared_ptr<TOpenContext> Ctx = std::make_shared<TOpenContext>();
  TErrorCode Code = 0;
  int OsError = 0;
  TPortHolder Holder{};  // who has a busy port

  bool Fail(TErrorCode code, int osError = 0) {
    Code = code;
    OsError = osError;
    return false;
  }

  bool Run() {
    if (!NoThreadLeftOver() || !QueuesHaveBuffers()) return false;
    if (!OpenPort() || !ConfigurePort() || !EventsCreated()) return false;
    PrepareThreads();
    // Each thread is marked alive before it starts, so that a Close at once
    // after this Open cannot miss it. The timer shares the reader's code.
    return Start(Comm.ReadThread, Ctx->ReadRun, Ctx->ReadAlive, &TComm32::_ReadThread, ecReadThread) &&
           Start(Comm.TimerThread, Ctx->TimerRun, Ctx->TimerAlive, &TComm32::_TimerThread, ecReadThread) &&
           Start(Comm.WriteThread, Ctx->WriteRun, Ctx->WriteAlive, &TComm32::_WriteThread, ecWriteThread);
  }

  // A thread that an earlier Close gave up on would be a second producer or
  // consumer of a queue: no new threads until it has ended.
  bool NoThreadLeftOver() {
    Comm.ReapStragglers(false);
    if (Comm.Stragglers.empty()) return true;
    return Fail(Comm.Stragglers.back().Writer ? ecWriteThread : ecReadThread);
  }

  bool QueuesHaveBuffers() {
    if (!Comm.InQueue->HasBuffer()) return Fail(ecReadBuffer);
    if (!Comm.OutQueue->HasBuffer()) return Fail(ecWriteBuffer);
    return true;
  }

  // The device a COM name leads to through the port map, or a device path as
  // it is; empty for COM0, COM-2 or a relative path.
  std::string DevicePath() const {
    const int number = ComNumberOf(Comm.DeviceName);
    if (!NamesADevice(Comm.DeviceName, number)) return {};
    if (number <= 0) return Comm.DeviceName;
    auto map = Comm.PortMap ? Comm.PortMap : DefaultPortMap();
    return map->DevicePath(number);
  }

  bool OpenPort() {
    const std::string path = DevicePath();
    if (path.empty()) return Fail(ecOpenPort, ENOENT);
    if (int err = Ctx->Port.Open(path)) {
      Holder = Ctx->Port.Holder();
      return Fail(ecOpenPort, err);
    }
    Comm.Handle = Ctx->Port.Fd();
    Comm.Ctx.store(Ctx, std::memory_order_release);
    return true;
  }

  // The event mask (EV_RXFLAG alone: the reader sets the real one), the
  // driver buffers, and the DCB with the wanted modem lines.
  bool ConfigurePort() {
    if (int err = Ctx->Port.SetMask(EV_RXFLAG)) return Fail(ecCommMask, err);
    if (int err = Ctx->Port.Setup(Comm.HwInSize, Comm.HwOutSize)) return Fail(ecBufferSize, err);
    QuarlComm32::DCB& dcb = Comm.DCB;
    if (dcb.fDtrControl != DTR_CONTROL_HANDSHAKE) dcb.fDtrControl = Comm.DTR ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    if (dcb.fRtsControl != RTS_CONTROL_HANDSHAKE && dcb.fRtsControl != RTS_CONTROL_TOGGLE)
      dcb.fRtsControl = Comm.RTS ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
    const QuarlComm32::DCB copy = dcb;
    Ctx->OutxCtsFlow = copy.fOutxCtsFlow != 0;
    if (int err = Ctx->Port.SetState(copy)) return Fail(ecSetParams, err);
    return true;
  }

  bool EventsCreated() {
    TOpenContext& c = *Ctx;
    if (!c.ReadStopEvent.Valid() || !c.TimerStopEvent.Valid() || !c.ThreadEnded.Valid() || !Comm.RoomEvent->Valid())
      return Fail(ecReadEvent, EMFILE);
    if (!c.WriteRequestEvent.Valid() || !c.WriteStopEvent.Valid() || !c.WritePurgeEvent.Valid() ||
        !c.WritePurgeDone.Valid())
      return Fail(ecWriteEvent, EMFILE);
    return true;
  }

  // The reader's events are set here rather than by the reader, so that a
  // later fSetNotifyMask (on this thread) always has the last word.
  void PrepareThreads() {
    TOpenContext& c = *Ctx;
    c.Port.LineReader = Comm.ModemLineReader;
    c.Port.LossReader = Comm.LossReader;
    c.TxEmptyWanted.store(Comm.TxEmptyWanted(), std::memory_order_release);
    c.HasLossCounters = c.Port.LossCounters(c.LossSeen) == 0;
    Comm.RoomWanted.store(false, std::memory_order_relaxed);
    Comm.RoomEvent->TryTake();
    c.Port.SetMask(Comm.WaitMask(c.OutxCtsFlow));
    std::lock_guard lock(Comm.OutLock);
    Comm.OutHeld = false;
  }

  bool Start(std::thread& t, std::atomic<bool>& run, std::atomic<bool>& alive,
             void (*entry)(TComm32*, std::shared_ptr<TOpenContext>), TErrorCode failure) {
    run.store(true, std::memory_order_release);
    alive.store(true, std::memory_order_release);
    try {
      t = std::thread(entry, &Comm, Ctx);
    } catch (const std::system_error& e) {
      run.store(false, std::memory_order_release);
      alive.store(false, std::memory_order_release);
      return Fail(failure, e.code().value());
    }
    return true;
  }
};

void TComm32::Open() {
  if (Active.load(std::memory_order_acquire)) return;
  RingCount.store(0, std::memory_order_relaxed);
  TOpening opening{*this};
  if (!opening.Run()) {
    opening.Ctx.reset();
    Close();  // raises ecCloseReadThread or ecCloseWriteThread itself if a started thread would not stop
    throw EComm32Error(opening.Code, opening.OsError, opening.Holder.Pid, opening.Holder.Name);
  }
  Active.store(true, std::memory_order_release);
  DisableWrite.store(false, std::memory_order_release);
  uint32_t status = 0;
  if (opening.Ctx->Port.ModemStatus(status) == 0) ModemStatus.store(status, std::memory_order_release);
  DTR = DCB.fDtrControl != 0;
  RTS = DCB.fRtsControl != 0;
  CommNotify(kModemLineEvents);
  CommAfterOpen();
}

// Clears the run flags, ends the reader's pending event wait by a mask
// change and sets the stop events.
void TComm32::TOpenContext::RequestStop() {
  ReadRun.store(false, std::memory_order_release);
  WriteRun.store(false, std::memory_order_release);
  TimerRun.store(false, std::memory_order_release);
  if (Port.IsOpen()) Port.SetMask(EV_RXFLAG);
  ReadStopEvent.Set();
  WriteStopEvent.Set();
  TimerStopEvent.Set();
}

bool TComm32::TOpenContext::AnyAlive() const {
  return ReadAlive.load(std::memory_order_acquire) || WriteAlive.load(std::memory_order_acquire) ||
         TimerAlive.load(std::memory_order_acquire);
}

// A thread that is alive but not blocked is on its way out: it only waits
// for a processor (or has not had one yet since it was started).
bool TComm32::TOpenContext::AnyRunnable() const {
  const std::pair<const std::atomic<bool>*, const std::atomic<pid_t>*> threads[] = {
      {&ReadAlive, &ReadTid}, {&WriteAlive, &WriteTid}, {&TimerAlive, &TimerTid}};
  for (const auto& [alive, tid] : threads) {
    if (!alive->load(std::memory_order_acquire)) continue;
    const pid_t id = tid->load(std::memory_order_acquire);
    if (id == 0 || ThreadIsRunnable(id)) return true;
  }
  return false;
}

// The threads are never killed; usually they are gone within microseconds
// and the wait ends then. Returns 0, or the code of a thread that would not
// stop: ecCloseReadThread for the reader or the timer, ecCloseWriteThread
// for the writer (which wins).
TErrorCode TComm32::TOpenContext::AwaitThreads() {
  const auto start = std::chrono::steady_clock::now();
  auto deadline = start + kStopLimit;
  while (AnyAlive()) {
    const auto now = std::chrono::steady_clock::now();
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
    if (left.count() <= 0) {
      if (now - start >= kRunnableLimit || !AnyRunnable()) break;
      deadline = now + kRunnableLook;
      continue;
    }
    ThreadEnded.Wait(static_cast<int>(left.count()));
    ThreadEnded.Reset();
  }
  if (WriteAlive.load(std::memory_order_acquire)) return ecCloseWriteThread;
  if (ReadAlive.load(std::memory_order_acquire) || TimerAlive.load(std::memory_order_acquire))
    return ecCloseReadThread;
  return 0;
}

// Threads that ended are joined (they are past their last step); the others
// keep the context alive and are joined once they end.
void TComm32::DropThreads(const std::shared_ptr<TOpenContext>& ctx) {
  struct TEntry {
    std::thread& Thread;
    const std::atomic<bool>* Alive;
    bool Writer;
  } const threads[] = {{ReadThread, ctx ? &ctx->ReadAlive : nullptr, false},
                       {TimerThread, ctx ? &ctx->TimerAlive : nullptr, false},
                       {WriteThread, ctx ? &ctx->WriteAlive : nullptr, true}};
  for (const TEntry& t : threads) {
    if (!t.Thread.joinable()) continue;
    if (ctx && t.Alive->load(std::memory_order_acquire)) Stragglers.push_back({std::move(t.Thread), ctx, t.Alive, t.Writer});
    else t.Thread.join();
  }
}

void TComm32::Close() {
  const bool wasActive = Active.load(std::memory_order_acquire);
  if (wasActive) CommBeforeClose();
  TErrorCode code = 0;
  std::shared_ptr<TOpenContext> ctx = Ctx.load(std::memory_order_acquire);
  if (ctx) {
    ctx->RequestStop();
    code = ctx->AwaitThreads();
  }
  DropThreads(ctx);
  // Releasing the context closes the port and its events, unless a thread
  // still holds it.
  Ctx.store(nullptr, std::memory_order_release);
  ctx.reset();
  Handle = -1;
  DTR = DCB.fDtrControl != 0;
  RTS = DCB.fRtsControl != 0;
  if (wasActive) {
    Active.store(false, std::memory_order_release);
    ModemStatus.store(0, std::memory_order_release);
    CommNotify(kModemLineEvents);
  }
  if (code == 0) return;
  StopFaults.fetch_add(1, std::memory_order_acq_rel);
  throw EComm32Error(code);
}

// An empty mask says nothing happened (the reader's wait ended while the
// transmission was not finished, or for a mask change), so nobody hears of it.
// Calls one of the owner's callbacks; what it throws is counted and kept out
// of the engine's threads.
template <typename TCallback, typename... TArgs>
static void CallOwner(const TCallback& callback, std::atomic<uint64_t>& faults, TArgs... args) {
  if (!callback) return;
  try {
    callback(args...);
  } catch (...) {
    faults.fetch_add(1, std::memory_order_acq_rel);
  }
}

void TComm32::CommNotify(int mask) {
  if (mask != 0) CallOwner(OnCommNotify, CallbackFaults, this, mask);
}

void TComm32::CommAfterOpen() { CallOwner(OnAfterOpen, CallbackFaults, this); }

void TComm32::CommBeforeClose() { CallOwner(OnBeforeClose, CallbackFaults, this); }

void TComm32::fmsgCommTimer() {
  auto ctx = Ctx.load(std::memory_order_acquire);
  uint32_t now = 0;
  if (!ctx || ctx->Port.ModemStatus(now) != 0) return;
  const uint32_t old = ModemStatus.load(std::memory_order_acquire);
  if ((now ^ old) & MS_RLSD_ON) {
    if (now & MS_RLSD_ON) ModemStatus.fetch_or(MS_RLSD_ON, std::memory_order_acq_rel);
    else ModemStatus.fetch_and(~MS_RLSD_ON, std::memory_order_acq_rel);
    CommNotify(EV_RLSD);
  }
  const uint32_t count = RingCount.load(std::memory_order_acquire);
  if (count < RingInterval) {
    RingCount.store(count + 1, std::memory_order_release);
    return;
  }
  if (!(ModemStatus.load(std::memory_order_acquire) & MS_RLSD_ON) && (now & MS_RING_ON)) {
    RingCount.store(0, std::memory_order_release);
    CommNotify(EV_RING);
  }
}

void TComm32::fSetDTR(bool value) {
  if (Active.load(std::memory_order_acquire)) EscapeCommFunction(value ? SETDTR : CLRDTR);
  else DTR = value;
}

void TComm32::fSetRTS(bool value) {
  if (Active.load(std::memory_order_acquire)) EscapeCommFunction(value ? SETRTS : CLRRTS);
  else RTS = value;
}

TComm32::TFlowControl TComm32::fGetFCtrl() const {
  if (DCB.fOutxCtsFlow && DCB.fOutX) return fcRtsCtsXonXoff;
  if (DCB.fOutxCtsFlow) return fcRtsCts;
  // The record cannot tell transparent from plain XON/XOFF; the setter's
  // choice tells them apart, so that it survives a read-back (and InitModem
  // sends the &K value that was chosen).
  if (DCB.fOutX) return TransparentXonXoff ? fcTranXonXoff : fcXonXoff;
  return fcNone;
}

void TComm32::fSetFCtrl(TFlowControl value) {
  Close();
  bool cts = false, xon = false;
  switch (value) {
    case fcRtsCts: cts = true; break;
    case fcXonXoff:
    case fcTranXonXoff: xon = true; break;
    case fcRtsCtsXonXoff: cts = xon = true; break;
    default: break;
  }
  DCB.fOutxCtsFlow = cts;
  DCB.fRtsControl = cts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
  DCB.fOutX = xon;
  DCB.fInX = xon;
  TransparentXonXoff = value == fcTranXonXoff;
  DCB.fDtrControl = DTR_CONTROL_ENABLE;
  DCB.fOutxDsrFlow = 0;
}

// Lost received bytes, from the kernel's counters: counted, marked for
// ClearCommErrors and reported as EV_ERR.
void TComm32::CheckLosses(TOpenContext& ctx, uint32_t& mask) {
  TLossCounters now;
  if (!ctx.HasLossCounters || ctx.Port.LossCounters(now) != 0) return;
  const uint64_t overrun = now.Overrun - ctx.LossSeen.Overrun;
  const uint64_t buffer = now.BufferOverrun - ctx.LossSeen.BufferOverrun;
  ctx.LossSeen = now;
  if (overrun + buffer == 0) return;
  Overruns.fetch_add(overrun + buffer, std::memory_order_acq_rel);
  CommErrors.fetch_or((overrun ? CE_OVERRUN : 0) | (buffer ? CE_RXOVER : 0), std::memory_order_acq_rel);
  mask |= EV_ERR;
}

// The reader thread's state from one event wait to the next.
struct TComm32::TReader {
  TComm32& Comm;
  TOpenContext& Ctx;
  TCommQueue& Queue;
  int EmptyWakes = 0;
  // While InQueue is full the port is not read: its bytes wait in the
  // kernel's buffer (and flow control, when set, holds the sender back)
  // until a consumer makes room, instead of being read and dropped.
  bool WaitingForRoom = false;

  // Asks consumers to fire RoomEvent, unless there is room already. Asked
  // again after every wake-up without room: the RoomEvent that woke the
  // reader may belong to room that is taken again. Set and withdrawn by
  // read-modify-writes, which pair with RoomMade's (see there).
  bool RoomNow() {
    Comm.RoomWanted.exchange(true, std::memory_order_acquire);
    if (Queue.FreeSpace() == 0) return false;
    Comm.RoomWanted.exchange(false, std::memory_order_relaxed);
    return true;
  }

  // Reads go straight into the queue's free span and never block: 0 bytes
  // or EAGAIN mean "nothing now" (a PurgeRead may have flushed them). The
  // device is gone only when a read fails with another error; a hang-up the
  // wait itself reports.
  void ReadIntoQueue(bool& got, bool& lost) {
    TSerialDriver& port = Ctx.Port;
    TCommQueue& queue = Queue;
    for (;;) {
      uint8_t* at;
      const int32_t room = queue.WriteSpan(at);
      if (room <= 0) {
        if (RoomNow()) continue;
        WaitingForRoom = true;
        return;
      }
      const uint32_t purges = Ctx.ReadPurges.load(std::memory_order_acquire);
      const ssize_t n = port.Read(at, static_cast<size_t>(room));
      if (n <= 0) {
        lost = n < 0 && DeviceLost(static_cast<int>(-n));
        return;
      }
      got = true;
      // A block read before a PurgeRead is dropped: it is left uncommitted.
      if (Ctx.ReadPurges.load(std::memory_order_acquire) == purges) {
        Comm.LastReceipt.store(std::chrono::steady_clock::now().time_since_epoch().count(),
                               std::memory_order_release);
        queue.Commit(static_cast<int32_t>(n));
      }
      // Took what waited; a sender that never pauses must not keep the
      // reader from a stop request.
      if (n < room || !Ctx.ReadRun.load(std::memory_order_acquire)) return;
    }
  }

  // Received data, or room made for data that waited. False when a stop
  // request came during the pause after wake-ups without data.
  bool TakeReceived(uint32_t& mask, bool resumed) {
    bool got = false, lost = false;
    ReadIntoQueue(got, lost);
    if (got) mask |= EV_RXCHAR;
    if (lost) {
      Ctx.Port.MarkGone();
      mask |= EV_ERR;
    } else if (got || WaitingForRoom || resumed) {
      EmptyWakes = 0;
    } else if (++EmptyWakes >= kEmptyWakesBeforePause) {
      // A device that keeps saying "readable" without data must not make
      // the reader spin.
      EmptyWakes = 0;
      if (Ctx.ReadStopEvent.Wait(kEmptyWakePauseMs)) return false;
    }
    if (got) Comm.CheckLosses(Ctx, mask);
    return true;
  }

  void ModemLines(uint32_t& mask) {
    if (!(mask & kModemLineEvents)) return;
    uint32_t status = 0;
    if (Ctx.Port.ModemStatus(status) == 0) Comm.ModemStatus.store(status, std::memory_order_release);
    if ((mask & EV_CTS) && Ctx.OutxCtsFlow && (Comm.ModemStatus.load(std::memory_order_acquire) & MS_CTS_ON))
      mask |= EV_TXEMPTY;
    if (mask & EV_RLSD) Comm.RingCount.store(0, std::memory_order_release);
  }

  // Not finished while the queue holds bytes: the writer reports the next
  // drain when it has handed them over.
  void TransmitEmpty(uint32_t& mask) {
    if (!(mask & EV_TXEMPTY)) return;
    if (!(Comm.ModemStatus.load(std::memory_order_acquire) & MS_CTS_ON) && Ctx.OutxCtsFlow) return;
    if (Comm.OutQueue->Count() > 0) {
      mask &= ~EV_TXEMPTY;
      Ctx.WriteRequestEvent.Set();
    }
  }

  // The handler wrote to the port: when the port has passed the bytes on
  // already and the writer has nothing under way, that is the drain;
  // otherwise the writer waits for it. A handler of EV_TXEMPTY may write
  // again.
  void HandlerWrites() {
    while (Ctx.ReaderTxPending) {
      Ctx.ReaderTxPending = false;
      if (Comm.OutQueue->Count() == 0 && !Ctx.TxPending.load(std::memory_order_acquire) &&
          !Ctx.WriterDraining.load(std::memory_order_acquire) && Ctx.Port.OutputQueued() == 0)
        Comm.CommNotify(EV_TXEMPTY);
      else if (!Ctx.TxPending.exchange(true, std::memory_order_acq_rel))
        Ctx.WriteRequestEvent.Set();
    }
  }

  void Run() {
    while (Ctx.ReadRun.load(std::memory_order_acquire)) {
      bool stopped = false;
      uint32_t mask = Ctx.Port.WaitEvent(Ctx.ReadStopEvent, stopped, WaitingForRoom ? Comm.RoomEvent.get() : nullptr);
      if (stopped || !Ctx.ReadRun.load(std::memory_order_acquire)) return;
      const bool resumed = WaitingForRoom && RoomNow();  // room was made: read what waited in the kernel
      if (resumed) WaitingForRoom = false;
      if (((mask & EV_RXCHAR) || resumed) && !WaitingForRoom && !TakeReceived(mask, resumed)) return;
      ModemLines(mask);
      TransmitEmpty(mask);
      Comm.CommNotify(static_cast<int>(mask));
      HandlerWrites();
    }
  }
};

void TComm32::_ReadThread(TComm32* comm, std::shared_ptr<TOpenContext> ctx) {
  // Highest priority where the system allows it; without the right to raise
  // it the reader runs at the normal one.
  ctx->ReadTid.store(CurrentThreadId(), std::memory_order_release);
  ::setpriority(PRIO_PROCESS, static_cast<id_t>(ctx->ReadTid.load(std::memory_order_relaxed)), -10);
  tReaderOf = ctx.get();
  TReader{*comm, *ctx, *comm->InQueue}.Run();
  tReaderOf = nullptr;
  ctx->ReadAlive.store(false, std::memory_order_release);
  ctx->ThreadEnded.Set();
}

// The writer thread's state. It writes straight from the queue: each pass
// hands the port as much of the queue's contiguous span as it takes, and
// waits for room with poll() when it takes nothing. A piece is done once the
// port holds it. When the queue has run empty (here, or after a Write handed
// the port everything itself) the writer reports EV_TXEMPTY once the port's
// output has drained too, if a listener wants it: once per drain, looking
// again after the time the bytes need on the line while the device still
// holds some. The reader is left alone, since every poll() of a tty for input
// costs it a flush of the tty's buffer work.
struct TComm32::TWriter {
  using Clock = std::chrono::steady_clock;
  TComm32& Comm;
  TOpenContext& Ctx;
  TCommQueue& Queue;
  bool Draining = false;  // handed-over bytes whose drain is not reported yet
  Clock::time_point LookAgain{};

  // Drops what the queue holds for PurgeWrite, then answers it with its
  // ticket. A request withdrawn on time-out is not carried out.
  void Purge() {
    const uint32_t ticket = Ctx.PurgePending.exchange(0, std::memory_order_acq_rel);
    if (ticket == 0) return;
    Queue.Discard();
    Ctx.PurgeDone.store(ticket, std::memory_order_release);
    Ctx.WritePurgeDone.Set();
  }

  // Reports the drain, or says when to look again. More bytes in the queue
  // mean a later drain, reported when they are out.
  void CheckDrain() {
    Draining = false;
    if (Queue.Count() == 0 && Ctx.TxEmptyWanted.load(std::memory_order_acquire)) {
      const int queued = Ctx.Port.OutputQueued();
      if (queued > 0) {
        Draining = true;
        LookAgain = Clock::now() + std::chrono::milliseconds(Ctx.Port.DrainWaitMs(queued));
      } else {
        Ctx.WriterDraining.store(false, std::memory_order_release);
        Comm.CommNotify(EV_TXEMPTY);
      }
    }
    Ctx.WriterDraining.store(Draining, std::memory_order_release);
  }

  int WaitLimitMs() const {
    if (!Draining) return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(LookAgain - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
  }

  // Hands the port what the queue holds. False when the writer is to stop.
  bool Transfer(bool& wrote) {
    TSerialDriver& port = Ctx.Port;
    TCommQueue& queue = Queue;
    for (;;) {
      const uint8_t* at;
      const int32_t k = queue.ReadSpan(at);
      if (k <= 0) return true;
      const ssize_t n = port.Write(at, static_cast<size_t>(k));
      if (n > 0) {
        queue.Consume(static_cast<int32_t>(n));
        wrote = true;
        continue;
      }
      if (n != -EAGAIN) return true;  // any other failure keeps the bytes for the next wake-up
      const TSerialDriver::TWriteWait r = port.WaitWritable(Ctx.WriteStopEvent, Ctx.WritePurgeEvent);
      if (!Ctx.WriteRun.load(std::memory_order_acquire) || r == TSerialDriver::wwStopped) return false;
      if (r == TSerialDriver::wwOther) Purge();
      if (r != TSerialDriver::wwWritable) return true;  // purged, or the device failed: keep the bytes
    }
  }

  void Run() {
    enum { kStop, kPurge, kRequest };
    while (Ctx.WriteRun.load(std::memory_order_acquire)) {
      const int woke = TEvent::WaitAny({&Ctx.WriteStopEvent, &Ctx.WritePurgeEvent, &Ctx.WriteRequestEvent},
                                       WaitLimitMs());
      if (!Ctx.WriteRun.load(std::memory_order_acquire) || woke == kStop) return;
      if (woke == TEvent::kTimeout) {
        CheckDrain();
      } else if (woke < 0) {  // the wait itself failed: do not spin on it
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      } else if (woke == kPurge) {
        Purge();
      } else {
        Ctx.WriteRequestEvent.Reset();
        bool wrote = Ctx.TxPending.exchange(false, std::memory_order_acq_rel);
        if (!Transfer(wrote)) return;
        if (wrote || Draining) CheckDrain();
      }
    }
  }
};

void TComm32::_WriteThread(TComm32* comm, std::shared_ptr<TOpenContext> ctx) {
  ctx->WriteTid.store(CurrentThreadId(), std::memory_order_release);
  TWriter{*comm, *ctx, *comm->OutQueue}.Run();
  ctx->WriteAlive.store(false, std::memory_order_release);
  ctx->ThreadEnded.Set();
}

void TComm32::_TimerThread(TComm32* comm, std::shared_ptr<TOpenContext> ctx) {
  ctx->TimerTid.store(CurrentThreadId(), std::memory_order_release);
  while (ctx->TimerRun.load(std::memory_order_acquire)) {
    if (ctx->TimerStopEvent.Wait(static_cast<int>(comm->TimerInterval))) break;
    comm->fmsgCommTimer();
  }
  ctx->TimerAlive.store(false, std::memory_order_release);
  ctx->ThreadEnded.Set();
}

}  // namespace QuarlComm32
