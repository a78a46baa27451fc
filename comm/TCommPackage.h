// TCommPackage: cuts the byte stream an engine receives into packages and
// sends whole packages through it. Packages are marked on the line by a frame
// head and tail with byte stuffing, or, in the timeout type, they are the bare
// bytes and a pause in the stream ends one. Finished packages wait in a read
// queue until the owner takes them; packages to send wait in a write queue
// until the engine has room for them. One callback tells the owner that a
// package waits (EV_RXCHAR) or that the write queue ran empty (EV_TXEMPTY).
//
// Threads: the owner calls the operations and setters; the engine's reader
// thread receives frame-marked packages and feeds the engine on transmit-empty;
// the framer's own timer thread closes packages one interval after their last
// byte and sleeps while no package is under way. The receive
// state and the send state each have a lock of their own, held only for the
// few microseconds a step takes and never while a callback runs.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "TComm32.h"
#include "TObject.h"

namespace QuarlComm32 {

enum TCommPackageType : uint8_t {
  cptCompatiblePkg = 0,  // frame marks; callers pass whole queue items
  cptFrameHeadTail = 1,  // frame marks
  cptFrameTimeout = 2,   // bare bytes; a pause ends a package
};

// A package: its length and then its data bytes, in one allocation laid out
// as a queue item (the length word, then the bytes). Whoever allocates one
// fixes its capacity; bytes beyond Length are undefined.
struct TCommPackageHead {
  uint32_t Length;
  uint8_t* Data() { return reinterpret_cast<uint8_t*>(this) + sizeof Length; }
  const uint8_t* Data() const { return reinterpret_cast<const uint8_t*>(this) + sizeof Length; }
};
static_assert(sizeof(TCommPackageHead) == sizeof(uint32_t), "the data bytes follow the length word");

// A ring of equal-size items between one producer and one consumer thread;
// one slot always stays free, so a queue of n slots holds n - 1 items.
class TCommPackageQueue {
public:
  TCommPackageQueue(unsigned long slots, unsigned long itemSize);
  virtual ~TCommPackageQueue();
  TCommPackageQueue(const TCommPackageQueue&) = delete;
  TCommPackageQueue& operator=(const TCommPackageQueue&) = delete;

  // Frees the old storage and allocates slots (at least 2) of itemSize bytes
  // (at least 32). Without storage (too large to have) every transfer
  // returns 0. Must not overlap a transfer.
  void SetQueue(long slots, long itemSize);

  int In(const void* item);                    // producer: copies one item in
  int Out(void* item);                         // consumer: takes the next item
  int Read(void* item, unsigned long index) const;  // consumer: peeks, keeps it
  // The next item in place, or nullptr when empty (consumer side).
  const uint8_t* Front() const;
  // Consumer side: drops the next item (Skip) or everything held (Discard);
  // safe while the producer runs.
  void Skip();
  void Discard();

  uint32_t Count() const;
  bool Empty() const { return Count() == 0; }
  bool HasStorage() const { return Buffer != nullptr; }
  uint32_t fGetSlotCount() const { return SlotCount; }
  uint32_t fGetItemSize() const { return ItemSize; }

  // Frees the storage and empties the queue. Must not overlap a transfer.
  void fRemoveQueue();

private:
  std::unique_ptr<uint8_t[]> Buffer;
  // Each index is written by one side only, published with release after the
  // slot it covers is copied, and read by the other side with acquire.
  std::atomic<uint32_t> OutIndex{0};
  std::atomic<uint32_t> InIndex{0};
  uint32_t SlotCount = 2;
  uint32_t ItemSize = 32;
};

class TCommPackage : public TObject {
public:
  using TPackageNotifyEvent = std::function<void(TObject* Sender, int NotifyType)>;

  static constexpr unsigned char DefaultFrameHead = 0xEB;
  static constexpr unsigned char DefaultFrameTail = 0xEE;
  static constexpr unsigned char DefaultFrameCtrl = 0xEC;
  // Package sizes below this would make a queue item (at least 32 bytes)
  // larger than a package buffer; they are raised to it.
  static constexpr unsigned long MinPkgSz = 28;
  // Larger sizes are refused: nobody frames gigabytes on a serial line.
  static constexpr unsigned long MaxPkgSz = 1ul << 30;
  static constexpr unsigned long ReadChunk = 2048;

  // Installs itself in front of the engine's notification callback. The
  // engine must be closed while a framer is built or destroyed on it.
  // Throws std::bad_alloc when its buffers cannot be had.
  explicit TCommPackage(TComm32* comm);
  ~TCommPackage() override;
  TCommPackage(const TCommPackage&) = delete;
  TCommPackage& operator=(const TCommPackage&) = delete;

  // -- Virtual operations.
  virtual unsigned long ReadPackage(void* buf, unsigned long len);
  virtual unsigned long WritePackage(const void* buf, unsigned long len);
  virtual void PurgeRead();
  virtual void PurgeWrite();
  virtual void CallNotify(int NotifyType);

  // The engine's notification callback while this framer exists.
  void fNewCommNotify(TObject* Sender, int NotifyType);

  // -- Properties.
  bool fGetActive() const { return Active.load(std::memory_order_acquire); }
  void fSetActive(bool value);
  int32_t fGetQSize() const { return QSize; }
  void fSetQSize(unsigned long n);
  unsigned long fGetPkgSz() const { return PkgSz; }
  void fSetPkgSz(unsigned long n);
  TCommPackageType fGetPkgType() const { return PkgType.load(std::memory_order_acquire); }
  void fSetPkgType(TCommPackageType type);
  unsigned long fGetPkgInterval() const { return PkgInterval.load(std::memory_order_acquire); }
  void fSetPkgInterval(unsigned long ms);
  bool fGetDblFrameMark() const { return DblFrameMark.load(std::memory_order_acquire); }
  void fSetDblFrameMark(bool value) { DblFrameMark.store(value, std::memory_order_release); }

  // The owner's callback. Once this returns, a call of the old callback is
  // no longer under way, so clearing it makes the framer silent at once.
  void SetPackageNotify(TPackageNotifyEvent notify);

  // Read and written as plain values, from any thread; the receive path
  // takes them once per chunk, the encoder once per package.
  std::atomic<unsigned char> FrameHead{DefaultFrameHead};
  std::atomic<unsigned char> FrameTail{DefaultFrameTail};
  std::atomic<unsigned char> FrameCtrl{DefaultFrameCtrl};

  // Counters for tests and diagnostics (owner thread only).
  uint32_t ReadQueueCount() const { return ReadQueue ? ReadQueue->Count() : 0; }
  uint32_t WriteQueueCount() const { return WriteQueue ? WriteQueue->Count() : 0; }
  // How often the timer thread has woken (any thread): its idle cost.
  uint64_t TimerWakeups() const { return WakeupCount.load(std::memory_order_relaxed); }
  // Nothing here raises: limits are met by dropping or by a 0 result.
  // Exceptions the owner's callback threw, which the framer caught.
  uint64_t CallbackFailures() const { return CallbackFaults.load(std::memory_order_acquire); }

private:
  struct TBufferFree {
    void operator()(TCommPackageHead* p) const { ::operator delete(p); }
  };
  using TBuffer = std::unique_ptr<TCommPackageHead, TBufferFree>;
  static TBuffer _NewBuffer(size_t dataBytes);

  // Allocates the three buffers for a package size; on failure keeps the old
  // ones and returns false.
  bool _AllocBuffer(unsigned long pkgSz);
  // Builds both queues anew; on failure keeps the old ones and returns false.
  bool _AllocQueues(int32_t qSize, unsigned long pkgSz);
  uint32_t _EncodePackage(TCommPackageHead& out, const TCommPackageHead& in) const;
  void _ReadHeadTailPackage();
  bool _ReadTimeoutPackage();
  void _WritePackage();
  void _TimerThread();
  static void _fnTimerThread(TCommPackage* self) { self->_TimerThread(); }
  // Runs `change` with the framer switched off, then restores Active.
  template <class F> void _Reconfigure(F change);

  std::atomic<bool> Active{false};
  std::atomic<bool> DblFrameMark{true};
  // Receive state, guarded by RecvLock.
  bool InFrame = false;
  bool CtrlPending = false;
  // Send state, guarded by SendLock.
  uint32_t WriteOffset = 0;

  TComm32* Comm;
  TCommNotifyEvent OldCommNotify;
  std::mutex NotifyLock;  // held while the owner's callback runs or changes
  TPackageNotifyEvent PackageNotify;

  std::unique_ptr<TCommPackageQueue> ReadQueue;
  std::unique_ptr<TCommPackageQueue> WriteQueue;
  TBuffer RecvBuffer;    // the package being received (RecvLock)
  TBuffer EncodeBuffer;  // the package being sent, as it goes on the line (SendLock)
  TBuffer SendBuffer;    // the package taken from WriteQueue (SendLock)

  int32_t QSize = 16;
  unsigned long PkgSz = 4096;
  std::atomic<TCommPackageType> PkgType{cptCompatiblePkg};
  std::atomic<unsigned long> PkgInterval{50};

  std::mutex RecvLock;  // receive state, the engine's receive queue, ReadQueue's producer
  std::mutex SendLock;  // send state, WriteQueue's consumer, EncodeBuffer
  std::thread TimerThread;
  std::atomic<bool> ThreadRun{true};
  std::atomic<bool> ThreadAlive{false};
  // The timer thread sleeps without a package under way; the first bytes
  // must wake it.
  std::atomic<bool> Idle{false};
  std::atomic<uint64_t> WakeupCount{0};
  std::atomic<uint64_t> CallbackFaults{0};
  std::unique_ptr<TEvent> WakeEvent;  // auto-reset
};

// Ends a link that an owner built from an engine and a framer over it: the
// owner's package callback cleared (no call of it is under way once this
// returns), packaging off, the port closed. A thread that would not stop
// does not make this fail: the engine counts it (StopFailures) and joins it
// when the engine goes.
void ShutdownLink(TComm32& comm, TCommPackage& package) noexcept;

}  // namespace QuarlComm32
