#include "TCommPackage.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "Event.h"

namespace QuarlComm32 {

namespace {

constexpr int kPackageWaiting = EV_RXCHAR;  // a package waits
constexpr int kSendQueueEmpty = EV_TXEMPTY;  // the write queue ran empty

// A count for the engine's Write, which takes at most INT32_MAX at a time.
int32_t WriteCount(uint32_t n) { return static_cast<int32_t>(std::min<uint32_t>(n, INT32_MAX)); }

uint32_t ItemLength(const void* item) {
  uint32_t n;
  std::memcpy(&n, item, sizeof n);
  return n;
}

}  // namespace

// ---------------------------------------------------------------------------
// TCommPackageQueue

TCommPackageQueue::TCommPackageQueue(unsigned long slots, unsigned long itemSize) {
  SetQueue(static_cast<long>(slots), static_cast<long>(itemSize));
}

TCommPackageQueue::~TCommPackageQueue() { fRemoveQueue(); }

void TCommPackageQueue::SetQueue(long slots, long itemSize) {
  fRemoveQueue();
  SlotCount = static_cast<uint32_t>(std::clamp<long>(slots, 2, UINT32_MAX));
  ItemSize = static_cast<uint32_t>(std::clamp<long>(itemSize, 32, UINT32_MAX));
  const uint64_t bytes = uint64_t{SlotCount} * ItemSize;
  if (bytes <= (uint64_t{1} << 40)) Buffer.reset(new (std::nothrow) uint8_t[bytes]);
}

int TCommPackageQueue::In(const void* item) {
  if (!Buffer || item == nullptr) return 0;
  const uint32_t in = InIndex.load(std::memory_order_relaxed);
  const uint32_t next = (in + 1) % SlotCount;
  if (next == OutIndex.load(std::memory_order_acquire)) return 0;  // full
  std::memcpy(Buffer.get() + size_t{in} * ItemSize, item, ItemSize);
  InIndex.store(next, std::memory_order_release);
  return 1;
}

int TCommPackageQueue::Out(void* item) {
  const uint8_t* front = Front();
  if (front == nullptr || item == nullptr) return 0;
  std::memcpy(item, front, ItemSize);
  Skip();
  return 1;
}

int TCommPackageQueue::Read(void* item, unsigned long index) const {
  if (!Buffer || item == nullptr || index >= Count()) return 0;
  const uint32_t slot = static_cast<uint32_t>((OutIndex.load(std::memory_order_relaxed) + index) % SlotCount);
  std::memcpy(item, Buffer.get() + size_t{slot} * ItemSize, ItemSize);
  return 1;
}

const uint8_t* TCommPackageQueue::Front() const {
  if (!Buffer) return nullptr;
  const uint32_t out = OutIndex.load(std::memory_order_relaxed);
  if (out == InIndex.load(std::memory_order_acquire)) return nullptr;
  return Buffer.get() + size_t{out} * ItemSize;
}

void TCommPackageQueue::Skip() {
  if (Front() != nullptr)
    OutIndex.store((OutIndex.load(std::memory_order_relaxed) + 1) % SlotCount, std::memory_order_release);
}

void TCommPackageQueue::Discard() {
  OutIndex.store(InIndex.load(std::memory_order_acquire), std::memory_order_release);
}

uint32_t TCommPackageQueue::Count() const {
  const uint32_t in = InIndex.load(std::memory_order_acquire);
  const uint32_t out = OutIndex.load(std::memory_order_acquire);
  return (in + SlotCount - out) % SlotCount;
}

void TCommPackageQueue::fRemoveQueue() {
  Buffer.reset();
  InIndex.store(0, std::memory_order_relaxed);
  OutIndex.store(0, std::memory_order_relaxed);
}

// ---------------------------------------------------------------------------
// TCommPackage: construction and settings

TCommPackage::TBuffer TCommPackage::_NewBuffer(size_t dataBytes) {
  void* p = ::operator new(sizeof(TCommPackageHead) + dataBytes, std::nothrow);
  if (p == nullptr) return nullptr;
  auto* head = new (p) TCommPackageHead;
  head->Length = 0;
  return TBuffer(head);
}

TCommPackage::TCommPackage(TComm32* comm) : Comm(comm), WakeEvent(std::make_unique<TEvent>(TEvent::rmAuto)) {
  if (!_AllocBuffer(PkgSz) || !_AllocQueues(QSize, PkgSz)) throw std::bad_alloc();
  TimerThread = std::thread(_fnTimerThread, this);
  OldCommNotify = Comm->OnCommNotify;
  Comm->OnCommNotify = [this](TComm32* sender, int notifyType) { fNewCommNotify(sender, notifyType); };
}

TCommPackage::~TCommPackage() {
  Comm->OnCommNotify = OldCommNotify;
  ThreadRun.store(false, std::memory_order_release);
  WakeEvent->Set();
  // Joined rather than polled for a while: the thread ends within one wake-up
  // unless an owner's callback holds it, and it must not outlive the framer.
  if (TimerThread.joinable()) TimerThread.join();
}

// Receive and send buffers are one queue item long at least, so that a
// whole item can be copied in and out of them.
bool TCommPackage::_AllocBuffer(unsigned long pkgSz) {
  TBuffer recv = _NewBuffer(pkgSz);
  TBuffer encode = _NewBuffer(2 * size_t{pkgSz} + 4);
  TBuffer send = _NewBuffer(pkgSz);
  if (!recv || !encode || !send) return false;
  RecvBuffer = std::move(recv);
  EncodeBuffer = std::move(encode);
  SendBuffer = std::move(send);
  return true;
}

bool TCommPackage::_AllocQueues(int32_t qSize, unsigned long pkgSz) {
  auto read = std::make_unique<TCommPackageQueue>(0, 0);
  auto write = std::make_unique<TCommPackageQueue>(0, 0);
  read->SetQueue(qSize, static_cast<long>(pkgSz + 4));
  write->SetQueue(qSize, static_cast<long>(pkgSz + 4));
  if (!read->HasStorage() || !write->HasStorage()) return false;
  ReadQueue = std::move(read);
  WriteQueue = std::move(write);
  return true;
}

// Both locks keep the receive path (engine reader or timer thread) and the
// send path (engine reader thread) out while the state is reset.
void TCommPackage::fSetActive(bool value) {
  {
    std::scoped_lock lock(RecvLock, SendLock);
    Active.store(value, std::memory_order_release);
    InFrame = false;
    CtrlPending = false;
    if (WriteOffset > 0 && WriteOffset < EncodeBuffer->Length) Comm->ReleaseHold();
    WriteOffset = 0;
    RecvBuffer->Length = 0;
    EncodeBuffer->Length = 0;
    ReadQueue->Discard();
    WriteQueue->Discard();
  }
  WakeEvent->Set();
}

// The timer thread is woken afterwards whatever the state, so that it never
// keeps waiting by a setting that has changed (a type set before the port
// opens, say).
template <class F>
void TCommPackage::_Reconfigure(F change) {
  const bool wasActive = fGetActive();
  if (wasActive) fSetActive(false);
  {
    std::scoped_lock lock(RecvLock, SendLock);
    change();
  }
  if (wasActive) fSetActive(true);
  WakeEvent->Set();
}

void TCommPackage::fSetQSize(unsigned long n) {
  _Reconfigure([&] {
    const auto q = static_cast<int32_t>(n);
    if (_AllocQueues(q, PkgSz)) QSize = q;
  });
}

void TCommPackage::fSetPkgSz(unsigned long n) {
  if (n > MaxPkgSz) return;
  n = std::max(n, MinPkgSz);
  _Reconfigure([&] {
    if (!_AllocQueues(QSize, n)) return;
    if (!_AllocBuffer(n)) {
      _AllocQueues(QSize, PkgSz);  // back to queues that match the buffers
      return;
    }
    PkgSz = n;
  });
}

void TCommPackage::fSetPkgType(TCommPackageType type) {
  if (type > cptFrameTimeout) return;
  _Reconfigure([&] { PkgType.store(type, std::memory_order_release); });
}

void TCommPackage::fSetPkgInterval(unsigned long ms) {
  PkgInterval.store(ms, std::memory_order_release);
  WakeEvent->Set();
}

void TCommPackage::SetPackageNotify(TPackageNotifyEvent notify) {
  std::lock_guard lock(NotifyLock);
  PackageNotify = std::move(notify);
}

// ---------------------------------------------------------------------------
// Receiving

void TCommPackage::_ReadHeadTailPackage() {
  const unsigned char head = FrameHead.load(std::memory_order_relaxed);
  const unsigned char tail = FrameTail.load(std::memory_order_relaxed);
  const unsigned char ctrl = FrameCtrl.load(std::memory_order_relaxed);
  TCommPackageHead& pkg = *RecvBuffer;
  uint8_t chunk[ReadChunk];
  int32_t got;
  while ((got = Comm->Read(chunk, sizeof chunk)) > 0) {
    for (int32_t i = 0; i < got; ++i) {
      const uint8_t b = chunk[i];
      if (!CtrlPending && b == head) {
        pkg.Length = 0;
        InFrame = true;
      } else if (InFrame) {
        if (CtrlPending || (b != ctrl && b != tail)) {
          if (pkg.Length < PkgSz) pkg.Data()[pkg.Length++] = b;
          CtrlPending = false;
        } else if (b == ctrl) {
          CtrlPending = true;
        } else {  // tail
          ReadQueue->In(&pkg);  // dropped when the queue is full
          pkg.Length = 0;
          InFrame = false;
        }
      } else {
        CtrlPending = (b == ctrl && !CtrlPending);
      }
    }
  }
}

bool TCommPackage::_ReadTimeoutPackage() {
  TCommPackageHead& pkg = *RecvBuffer;
  bool any = false;
  // Straight into the package while it has room; the surplus is drained and
  // dropped.
  int32_t got;
  while (pkg.Length < PkgSz) {
    const uint32_t room = static_cast<uint32_t>(PkgSz) - pkg.Length;
    got = Comm->Read(pkg.Data() + pkg.Length, WriteCount(room));
    if (got <= 0) return any;
    any = true;
    pkg.Length += static_cast<uint32_t>(got);
  }
  uint8_t chunk[ReadChunk];
  while (Comm->Read(chunk, sizeof chunk) > 0) any = true;
  return any;
}

// In the timeout type a package closes one interval after its last byte, as
// a timer restarted on each byte would close it: the thread sleeps until
// then, and closes the package if no byte came meanwhile (the engine stamps
// each receipt, so the thread need not wake for every byte). With no
// package under way it sleeps until the engine's reader reports bytes or a
// setting changes: no wake-ups while idle, and none while the link is
// closed.
void TCommPackage::_TimerThread() {
  using Clock = std::chrono::steady_clock;
  ThreadAlive.store(true, std::memory_order_release);
  while (ThreadRun.load(std::memory_order_acquire)) {
    int wait = -1;
    bool complete = false;
    {
      std::lock_guard lock(RecvLock);
      if (PkgType.load(std::memory_order_relaxed) == cptFrameTimeout && Active.load(std::memory_order_relaxed)) {
        const bool idle = RecvBuffer->Length == 0;
        // Said before the last look at the engine's queue, so that bytes
        // arriving after that look find the flag and wake the thread. Set
        // and withdrawn by read-modify-writes, which pair with the
        // notification's (see fNewCommNotify).
        if (idle) Idle.exchange(true, std::memory_order_acquire);
        _ReadTimeoutPackage();
        if (RecvBuffer->Length > 0) {
          if (idle) Idle.exchange(false, std::memory_order_relaxed);
          const auto interval = std::chrono::milliseconds(
              std::min<unsigned long>(PkgInterval.load(std::memory_order_acquire), INT_MAX / 2));
          const auto due = Comm->LastReceiveTime() + interval;
          const auto now = Clock::now();
          if (now >= due && now < due + interval && Comm->BytesInPort() > 0) {
            // The engine's reader is behind: bytes are on their way. For one
            // more interval at most, should the reader be stuck.
            wait = 1;
          } else if (now >= due) {
            ReadQueue->In(RecvBuffer.get());  // dropped when the queue is full
            RecvBuffer->Length = 0;
            complete = true;
          } else {
            wait = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(due - now).count());
          }
        }
      }
    }
    if (complete) {
      CallNotify(kPackageWaiting);
      continue;  // look at once whether the next package has begun
    }
    if (wait < 0 && !WakeEvent->Valid()) wait = 50;  // nothing could wake an endless wait
    WakeEvent->Wait(wait);
    WakeupCount.fetch_add(1, std::memory_order_relaxed);
  }
  ThreadAlive.store(false, std::memory_order_release);
}

// ---------------------------------------------------------------------------
// Sending

uint32_t TCommPackage::_EncodePackage(TCommPackageHead& out, const TCommPackageHead& in) const {
  const unsigned char head = FrameHead.load(std::memory_order_relaxed);
  const unsigned char tail = FrameTail.load(std::memory_order_relaxed);
  const unsigned char ctrl = FrameCtrl.load(std::memory_order_relaxed);
  const bool twice = DblFrameMark.load(std::memory_order_relaxed);
  const uint32_t n = std::min(in.Length, static_cast<uint32_t>(PkgSz));
  uint8_t* p = out.Data();
  *p++ = head;
  if (twice) *p++ = head;
  for (uint32_t i = 0; i < n; ++i) {
    const uint8_t b = in.Data()[i];
    if (b == head || b == tail || b == ctrl) *p++ = ctrl;
    *p++ = b;
  }
  *p++ = tail;
  if (twice) *p++ = tail;
  out.Length = static_cast<uint32_t>(p - out.Data());
  return out.Length;
}

// Under SendLock: entered from the owner's WritePackage and from the engine's
// reader thread on transmit-empty. One step: the next package, or the rest of
// the current one, goes to the engine, which takes a package whole (or, when
// it is larger than the transmit queue, keeps the queue for its parts), so
// that the owner's commands never land inside it.
void TCommPackage::_WritePackage() {
  TCommPackageHead& line = *EncodeBuffer;
  if (WriteOffset >= line.Length) {
    if (WriteQueue->Empty()) return;
    if (PkgType.load(std::memory_order_relaxed) == cptFrameTimeout) {
      WriteQueue->Out(&line);
      line.Length = std::min(line.Length, static_cast<uint32_t>(PkgSz));
    } else {
      WriteQueue->Out(SendBuffer.get());
      _EncodePackage(line, *SendBuffer);
    }
    WriteOffset = 0;
  }
  const int32_t n = Comm->WriteUnsplit(line.Data() + WriteOffset, WriteCount(line.Length - WriteOffset), WriteOffset > 0);
  if (n > 0) WriteOffset += static_cast<uint32_t>(n);
}

// ---------------------------------------------------------------------------
// The owner's operations

unsigned long TCommPackage::ReadPackage(void* buf, unsigned long len) {
  if (!fGetActive()) return 0;
  const uint8_t* front = ReadQueue->Front();
  if (PkgType.load(std::memory_order_acquire) == cptCompatiblePkg) {
    // The caller's buffer is a whole item. A length, when given, bounds the
    // copy, so a shorter buffer is never overrun.
    if (front == nullptr || buf == nullptr) return 0;
    const uint32_t item = ReadQueue->fGetItemSize();
    std::memcpy(buf, front, len > 0 ? std::min<unsigned long>(len, item) : item);
    ReadQueue->Skip();
    return 1;
  }
  if (front == nullptr) return 0;
  const uint32_t length = std::min(ItemLength(front), static_cast<uint32_t>(PkgSz));
  if (buf == nullptr || len == 0) return length;
  const uint32_t n = static_cast<uint32_t>(std::min<unsigned long>(len, length));
  std::memcpy(buf, front + sizeof(uint32_t), n);
  ReadQueue->Skip();
  return n;
}

unsigned long TCommPackage::WritePackage(const void* buf, unsigned long len) {
  if (!fGetActive() || buf == nullptr) return 0;
  const uint32_t itemSize = WriteQueue->fGetItemSize();
  std::vector<uint8_t> item(itemSize);
  unsigned long result;
  if (PkgType.load(std::memory_order_acquire) == cptCompatiblePkg) {
    // A whole item. A length, when given, bounds what is read of the caller's
    // buffer, and the package's own length word is cut to what it holds.
    if (len == 0 || len >= itemSize) {
      std::memcpy(item.data(), buf, itemSize);
    } else {
      if (len < sizeof(uint32_t)) return 0;
      std::memcpy(item.data(), buf, len);
      const uint32_t held = std::min<uint32_t>(ItemLength(buf), static_cast<uint32_t>(len - sizeof(uint32_t)));
      std::memcpy(item.data(), &held, sizeof held);
    }
    result = 1;
  } else {
    if (len == 0) return 0;
    const uint32_t n = static_cast<uint32_t>(std::min<unsigned long>(len, PkgSz));
    std::memcpy(item.data(), &n, sizeof n);
    std::memcpy(item.data() + sizeof n, buf, n);
    result = n;
  }
  {
    std::lock_guard lock(SendLock);
    if (!fGetActive()) return 0;
    if (WriteQueue->In(item.data()) == 0) {
      // Full: the engine refused bytes earlier (writing disabled) and no
      // transmit-empty has come since. A send step sets it moving again, so
      // that a later attempt finds room.
      _WritePackage();
      return 0;
    }
    _WritePackage();
  }
  return result;
}

void TCommPackage::PurgeRead() {
  std::lock_guard lock(RecvLock);
  if (!fGetActive()) return;
  // The engine's purge takes bytes as a read does, so it runs under the lock
  // that serialises the framer's reads of the engine.
  Comm->PurgeRead(false);
  ReadQueue->Discard();
}

void TCommPackage::PurgeWrite() {
  {
    std::lock_guard lock(SendLock);
    if (!fGetActive()) return;
    WriteQueue->Discard();
  }
  // Outside the lock: the engine waits for its writer to answer, and the
  // reader thread must not be held up meanwhile.
  Comm->PurgeWrite(false);
}

void TCommPackage::CallNotify(int NotifyType) {
  std::lock_guard lock(NotifyLock);
  if (!PackageNotify) return;
  try {
    PackageNotify(this, NotifyType);
  } catch (...) {
    // An owner's handler must not end the thread that raised the notification.
    CallbackFaults.fetch_add(1, std::memory_order_acq_rel);
  }
}

// ---------------------------------------------------------------------------
// Engine notifications

void TCommPackage::fNewCommNotify(TObject* /*Sender*/, int NotifyType) {
  if (fGetActive()) {
    int bits = NotifyType & ~(kPackageWaiting | kSendQueueEmpty);
    if ((NotifyType & kPackageWaiting) != 0 && PkgType.load(std::memory_order_acquire) == cptFrameTimeout) {
      // Bytes for the timer thread: it is woken when it sleeps without a
      // package under way, or when the engine's queue is half full; else
      // it wakes at its own time, one interval after the last receipt.
      // Read-modify-writes of one atomic are totally ordered: either this
      // exchange reads the thread's Idle mark, or the thread's exchange
      // reads this one and, acquire on release, sees the bytes queued
      // before it.
      const bool wake = Idle.exchange(false, std::memory_order_release);
      if (wake || Comm->InQueue->Count() > Comm->InQueue->fGetBufSize() / 2) WakeEvent->Set();
    } else if ((NotifyType & kPackageWaiting) != 0) {
      std::lock_guard lock(RecvLock);
      if (fGetActive() && PkgType.load(std::memory_order_relaxed) != cptFrameTimeout) {
        _ReadHeadTailPackage();
        if (!ReadQueue->Empty()) bits |= kPackageWaiting;
      }
    }
    if ((NotifyType & kSendQueueEmpty) != 0) {
      std::lock_guard lock(SendLock);
      if (fGetActive()) {
        _WritePackage();
        if (WriteQueue->Empty()) bits |= kSendQueueEmpty;
      }
    }
    if (bits != 0) CallNotify(bits);
  }
  if (OldCommNotify) OldCommNotify(Comm, NotifyType);
}

// ---------------------------------------------------------------------------
// Teardown

void ShutdownLink(TComm32& comm, TCommPackage& package) noexcept {
  package.SetPackageNotify(nullptr);
  package.fSetActive(false);
  try {
    comm.Close();
  } catch (const EComm32Error&) {
    // A thread that would not stop: counted by the engine, joined when it goes.
  } catch (const std::exception& e) {
    // Nothing else is expected of Close; should it come, it is said once.
    static std::atomic<bool> said{false};
    if (!said.exchange(true, std::memory_order_relaxed)) std::fprintf(stderr, "quarl_comm: closing the port: %s\n", e.what());
  }
}

}  // namespace QuarlComm32
