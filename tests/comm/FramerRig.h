// A framer on an engine that has a pseudo-terminal slave open: the test talks
// to it from the master side, and can wait for what the engine and the framer
// report instead of sleeping.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <vector>

#include "PtyPair.h"
#include "TComm32.h"
#include "TCommPackage.h"

namespace framer_test {

using namespace QuarlComm32;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

constexpr int kRxChar = 0x0001;
constexpr int kTxEmpty = 0x0004;

// Line form of a package with the default marks, written out independently
// of the framer's encoder.
inline Bytes Framed(const Bytes& data, bool dbl = true) {
  Bytes out{0xEB};
  if (dbl) out.push_back(0xEB);
  for (uint8_t b : data) {
    if (b == 0xEB || b == 0xEE || b == 0xEC) out.push_back(0xEC);
    out.push_back(b);
  }
  out.push_back(0xEE);
  if (dbl) out.push_back(0xEE);
  return out;
}

inline Bytes Pattern(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes out(n);
  for (uint8_t& b : out) b = static_cast<uint8_t>(rng());
  return out;
}

inline Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// What the engine's own callback (behind the framer) and the owner's package
// callback saw.
struct Signals {
  std::mutex m;
  std::condition_variable cv;
  int engineRx = 0;               // engine notifications carrying EV_RXCHAR
  std::vector<int> engineMasks;
  std::vector<int> packageMasks;  // what the owner's callback got
  std::vector<Clock::time_point> packageTimes;
  TObject* packageSender = nullptr;

  template <class Pred>
  bool WaitUntil(Pred pred, std::chrono::milliseconds limit = 5000ms) {
    std::unique_lock lock(m);
    return cv.wait_for(lock, limit, pred);
  }
  int PackageNotifies(int bit) {
    std::lock_guard lock(m);
    int n = 0;
    for (int mask : packageMasks) n += (mask & bit) != 0;
    return n;
  }
};

class Framer : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_GE(pty.Master, 0);
    std::strncpy(comm.DeviceName, pty.Path.c_str(), sizeof comm.DeviceName - 1);
    comm.DCB.BaudRate = 115200;
    // Installed before the framer, which then passes every notification on.
    comm.OnCommNotify = [this](TComm32*, int mask) {
      std::lock_guard lock(sig.m);
      sig.engineMasks.push_back(mask);
      if (mask & kRxChar) ++sig.engineRx;
      sig.cv.notify_all();
    };
    pkg = std::make_unique<TCommPackage>(&comm);
    pkg->SetPackageNotify([this](TObject* sender, int mask) {
      const auto now = Clock::now();
      std::lock_guard lock(sig.m);
      sig.packageSender = sender;
      sig.packageMasks.push_back(mask);
      if (mask & kRxChar) sig.packageTimes.push_back(now);
      sig.cv.notify_all();
    });
  }

  void TearDown() override {
    comm.Close();
    pkg.reset();  // only while the engine is closed
  }

  void Start(TCommPackageType type) {
    pkg->fSetPkgType(type);
    pkg->fSetActive(true);
    comm.Open();
  }

  void Send(const Bytes& b) { ASSERT_TRUE(pty.Send(b.data(), b.size())); }

  // Sends bytes and waits until the framer has taken at least the first part
  // of them from the engine (its notification has gone on to the engine's
  // own callback).
  void SendAndSettle(const Bytes& b) {
    int before;
    {
      std::lock_guard lock(sig.m);
      before = sig.engineRx;
    }
    Send(b);
    ASSERT_TRUE(sig.WaitUntil([&] { return sig.engineRx > before; }));
  }

  // What the framer put on the line, as the other side reads it.
  Bytes Line(size_t n, int timeoutMs = 5000) {
    const std::string s = pty.Receive(n, timeoutMs);
    return Bytes(s.begin(), s.end());
  }

  bool WaitQueued(uint32_t n, std::chrono::milliseconds limit = 5000ms) {
    return sig.WaitUntil([&] { return pkg->ReadQueueCount() >= n; }, limit);
  }

  // The next package, or nothing when none waits (an empty package is an
  // empty vector, not nothing).
  std::optional<Bytes> Take() {
    if (pkg->ReadQueueCount() == 0) return std::nullopt;
    Bytes buf(pkg->fGetPkgSz());
    buf.resize(pkg->ReadPackage(buf.data(), static_cast<unsigned long>(buf.size())));
    return buf;
  }

  Signals sig;  // first: outlives the engine and the framer that call into it
  PtyPair pty;
  TComm32 comm;
  std::unique_ptr<TCommPackage> pkg;
};

}  // namespace framer_test
