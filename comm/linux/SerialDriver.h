// TSerialDriver: the serial device operations the engine needs, on Linux.
// One instance serves one open device. Its calls take the roles of the Win32
// comm calls: an event wait that a stop event or a mask change ends, the
// bytes waiting, non-blocking reads and writes, modem lines, the extended
// functions and purging.
//
// Errors: this layer returns error codes and never throws. A call that does
// something returns 0 or the errno of its failure; a call that counts
// returns the count, or -errno. The waits say which of their causes ended
// them (WaitEvent's event mask, WaitWritable's TWriteWait).
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "Dcb.h"
#include "Event.h"
#include "PortHolder.h"

namespace QuarlComm32 {

class TSerialDriver {
public:
  TSerialDriver() = default;
  ~TSerialDriver();
  TSerialDriver(const TSerialDriver&) = delete;
  TSerialDriver& operator=(const TSerialDriver&) = delete;

  // Opens the device for exclusive non-blocking use: an flock first, which
  // the kernel releases when its holder ends, however it ends; then, while
  // the lock is ours, TIOCEXCL against programs that take no lock. A device
  // under another's lock gives EBUSY, as does one in exclusive mode to an
  // ordinary user; a mark that no lock stands behind (left by a killed
  // holder) is taken over. Close clears the mark. Returns 0 or the errno of
  // the failure; after EBUSY, Holder() names the program where it can.
  int Open(const std::string& path);
  const TPortHolder& Holder() const { return HolderFound; }
  void Close();
  bool IsOpen() const { return Descriptor >= 0; }
  int Fd() const { return Descriptor; }

  // The events WaitEvent reports. Changing the mask ends a pending wait,
  // which then reports 0.
  int SetMask(uint32_t mask);
  // Driver buffer sizes: Linux sizes its tty buffers itself, so the sizes
  // are neither applied nor kept; this only checks that the device is open.
  int Setup(int32_t inSize, int32_t outSize);
  // Applies the line settings and modem line wishes of the record and checks
  // that the device took the rate, size, parity and stop bits. 0 or an errno.
  int SetState(const QuarlComm32::DCB& dcb);

  // Waits for an event of the mask: received data (EV_RXCHAR), a change of
  // CTS, DSR or carrier, or an error (EV_ERR: the device hung up or failed; it is then
  // reported once and no longer watched). Ends with stopped = true when
  // `stop` fires, and with 0 when the mask is changed or Wake is called.
  // With `room` given the received data is not watched (the caller has no
  // room for it): the wait ends with 0 when `room` fires instead. Never
  // spins: without modem lines to watch it sleeps in
  // poll() until something happens.
  uint32_t WaitEvent(TEvent& stop, bool& stopped, TEvent* room = nullptr);
  // Ends a pending WaitEvent (which reports 0).
  void Wake();

  // Bytes waiting to be read, or -errno.
  int BytesWaiting() const;
  // Non-blocking transfers: bytes moved, 0 at end of file (a hung-up tty),
  // or -errno (-EAGAIN: nothing could be moved now).
  ssize_t Read(void* buf, size_t n);
  ssize_t Write(const void* buf, size_t n);
  // Bytes the device still holds to send (TIOCOUTQ; 0 when it cannot tell),
  // and about how long, in milliseconds (1 to 200), they take on the line.
  int OutputQueued() const;
  int DrainWaitMs(int queued) const;
  // The writer's wait for room in the device.
  enum TWriteWait {
    wwStopped,   // `stop` fired
    wwOther,     // `other` fired
    wwWritable,  // the device takes bytes
    wwFailed,    // the device failed or hung up
  };
  TWriteWait WaitWritable(TEvent& stop, TEvent& other);

  // MS_CTS_ON, MS_DSR_ON, MS_RING_ON, MS_RLSD_ON; an errno when the device
  // has no modem lines (a pseudo-terminal: ENOTTY or EINVAL).
  int ModemStatus(uint32_t& status) const;
  // SETXOFF ... CLRBREAK; an errno when the device refuses, EINVAL for
  // another code.
  int Escape(uint32_t function);
  // PURGE_* flags: discards what the driver holds in either direction.
  int Purge(uint32_t flags);

  // Where the modem lines are read (TIOCM_* bits); nullptr: TIOCMGET on the
  // device. Set before the first WaitEvent.
  bool (*LineReader)(int fd, int& bits) = nullptr;

  using TLossCounters = QuarlComm32::TLossCounters;
  // Reads them; an errno where the driver keeps none (a pseudo-terminal).
  int LossCounters(TLossCounters& c) const;
  // Where they are read; nullptr: TIOCGICOUNT on the device.
  bool (*LossReader)(int fd, TLossCounters& c) = nullptr;
  // How often WaitEvent's poll() has returned since Open.
  uint64_t Wakeups() const { return WakeupCount.load(std::memory_order_relaxed); }

  // After a failure the device is reported once and then left alone.
  void MarkGone() { DeviceGone.store(true, std::memory_order_release); }
  bool Gone() const { return DeviceGone.load(std::memory_order_acquire); }

private:
  enum TPollOutcome { pollAgain, pollStopped, pollDone };
  uint32_t LineChanges(uint32_t mask, int& timeout);
  TPollOutcome PollOnce(TEvent& stop, TEvent* room, uint32_t mask, int timeout, uint32_t& events);
  int ReadLines(int& bits) const;
  // A failed open: looks for the holder of a busy device.
  int Refused(const std::string& path, int err);

  int Descriptor = -1;
  bool Exclusive = false;
  TPortHolder HolderFound;
  TEvent WakeEvent{TEvent::rmAuto};
  std::atomic<uint32_t> EventMask{0};
  std::atomic<uint32_t> MaskChanges{0};
  std::atomic<bool> DeviceGone{false};
  std::atomic<uint64_t> WakeupCount{0};
  uint32_t BitsPerSecond = 19200;
  int BitsPerChar = 10;
  // Modem line watching, reader thread only.
  bool LinesChecked = false;
  bool HasLines = false;
  uint32_t LastLines = 0;
};

}  // namespace QuarlComm32
