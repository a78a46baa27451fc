// The package framer on an engine without a port: a test engine hands out
// the bytes the target chooses, in the pieces it chooses, and what the framer
// sends is taken from the engine's transmit queue.
//
// Frame marks: packages encoded by the framer and decoded by it again come
// back byte for byte (cut to the package size), whatever the marks and the
// cuts of the line; arbitrary line bytes give packages no longer than the
// package size, at most one per tail mark, each surviving another trip.
// Timeout type: each burst of bytes becomes one package, cut to the package
// size. The engine's Read hands out exactly what it was given, from buffers
// of their own size, so a read beyond them trips ASan.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <vector>

#include "FuzzCheck.h"
#include "TComm32.h"
#include "TCommPackage.h"

using namespace QuarlComm32;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr int kRxChar = 0x0001;
constexpr int kTxEmpty = 0x0004;

// An engine whose received bytes come from the target, never from a port.
class TFeedEngine : public TComm32 {
public:
  int32_t Read(void* dest, int32_t count) override {
    std::lock_guard lock(Mutex);
    if (count <= 0 || dest == nullptr || Pieces.empty()) return 0;
    Bytes& front = Pieces.front();
    const auto n = static_cast<int32_t>(std::min<size_t>(static_cast<size_t>(count), front.size()));
    std::copy_n(front.begin(), n, static_cast<uint8_t*>(dest));
    front.erase(front.begin(), front.begin() + n);
    if (front.empty()) Pieces.pop_front();
    return n;
  }
  // The pieces arrive together: a reader never sees only some of them.
  void Give(std::vector<Bytes> pieces) {
    std::lock_guard lock(Mutex);
    for (Bytes& p : pieces)
      if (!p.empty()) Pieces.push_back(std::move(p));
  }
  bool Drained() {
    std::lock_guard lock(Mutex);
    return Pieces.empty();
  }
  // What the framer has queued for sending.
  Bytes Sent() {
    Bytes out(static_cast<size_t>(OutQueue->Count()));
    out.resize(static_cast<size_t>(OutQueue->Out(out.data(), static_cast<int32_t>(out.size()))));
    return out;
  }

private:
  std::mutex Mutex;
  std::deque<Bytes> Pieces;
};

struct TRig {
  TFeedEngine Comm;
  TCommPackage Pkg{&Comm};
  std::mutex Mutex;
  std::condition_variable Cv;
  int Notified = 0;

  TRig() {
    Pkg.SetPackageNotify([this](TObject*, int mask) {
      if (!(mask & kRxChar)) return;
      std::lock_guard lock(Mutex);
      ++Notified;
      Cv.notify_all();
    });
  }
  ~TRig() { Pkg.SetPackageNotify({}); }

  std::vector<Bytes> TakeAll() {
    std::vector<Bytes> out;
    for (;;) {
      Bytes buf(Pkg.fGetPkgSz());
      const unsigned long n = Pkg.ReadPackage(buf.data(), static_cast<unsigned long>(buf.size()));
      if (n == 0 && Pkg.ReadQueueCount() == 0) return out;
      buf.resize(n);
      out.push_back(std::move(buf));
    }
  }
};

// Puts packages on the line with the framer's encoder: the package goes in
// parts when it is larger than the transmit queue, the rest following each
// transmit-empty, as the engine's writer would raise it.
Bytes Encode(TRig& rig, const std::vector<Bytes>& packages) {
  Bytes line;
  for (const Bytes& p : packages) {
    if (p.empty()) continue;  // an empty package is not sent
    const unsigned long n = rig.Pkg.WritePackage(p.data(), static_cast<unsigned long>(p.size()));
    FUZZ_CHECK(n == std::min<unsigned long>(p.size(), rig.Pkg.fGetPkgSz()));
    for (int step = 0; step < 1000; ++step) {
      const Bytes part = rig.Comm.Sent();
      line.insert(line.end(), part.begin(), part.end());
      if (part.empty() && rig.Pkg.WriteQueueCount() == 0) break;
      rig.Pkg.fNewCommNotify(&rig.Comm, kTxEmpty);
    }
    FUZZ_CHECK(rig.Pkg.WriteQueueCount() == 0);
  }
  const Bytes rest = rig.Comm.Sent();
  line.insert(line.end(), rest.begin(), rest.end());
  return line;
}

// Hands the line to the framer in the given cuts, collecting packages as the
// owner would after each notification. A cut of at most 24 bytes holds fewer
// packages than the read queue's 15 places, so none is dropped for room.
std::vector<Bytes> Decode(TRig& rig, const Bytes& line, FuzzedDataProvider& cuts) {
  std::vector<Bytes> got;
  size_t pos = 0;
  while (pos < line.size()) {
    const size_t n = std::min(cuts.ConsumeIntegralInRange<size_t>(1, 24), line.size() - pos);
    rig.Comm.Give({Bytes(line.begin() + static_cast<ptrdiff_t>(pos), line.begin() + static_cast<ptrdiff_t>(pos + n))});
    pos += n;
    rig.Pkg.fNewCommNotify(&rig.Comm, kRxChar);
    FUZZ_CHECK(rig.Comm.Drained());
    for (Bytes& p : rig.TakeAll()) got.push_back(std::move(p));
  }
  return got;
}

void FrameMarks(TRig& rig, FuzzedDataProvider& in) {
  // The default marks or three other distinct ones.
  uint8_t marks[3] = {TCommPackage::DefaultFrameHead, TCommPackage::DefaultFrameTail, TCommPackage::DefaultFrameCtrl};
  if (in.ConsumeBool()) {
    marks[0] = in.ConsumeIntegral<uint8_t>();
    marks[1] = static_cast<uint8_t>(marks[0] + in.ConsumeIntegralInRange<int>(1, 255));
    marks[2] = in.ConsumeIntegral<uint8_t>();
    while (marks[2] == marks[0] || marks[2] == marks[1]) ++marks[2];
  }
  rig.Pkg.FrameHead = marks[0];
  rig.Pkg.FrameTail = marks[1];
  rig.Pkg.FrameCtrl = marks[2];
  rig.Pkg.fSetDblFrameMark(in.ConsumeBool());
  const unsigned long pkgSz = rig.Pkg.fGetPkgSz();

  if (in.ConsumeBool()) {
    // Encoded by the framer, decoded by it: the same packages.
    std::vector<Bytes> packages;
    const int count = in.ConsumeIntegralInRange<int>(1, 12);
    for (int i = 0; i < count; ++i) {
      Bytes p = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(1, 2 * pkgSz));
      if (!p.empty()) packages.push_back(std::move(p));
    }
    const Bytes line = Encode(rig, packages);
    const std::vector<Bytes> got = Decode(rig, line, in);
    FUZZ_CHECK(got.size() == packages.size());
    for (size_t i = 0; i < got.size(); ++i) {
      const size_t n = std::min<size_t>(packages[i].size(), pkgSz);
      FUZZ_CHECK(got[i].size() == n && std::equal(got[i].begin(), got[i].end(), packages[i].begin()));
    }
    return;
  }
  // Whatever the line holds.
  const Bytes line = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 3 * pkgSz));
  const std::vector<Bytes> got = Decode(rig, line, in);
  FUZZ_CHECK(got.size() <= static_cast<size_t>(std::count(line.begin(), line.end(), marks[1])));
  for (const Bytes& p : got) FUZZ_CHECK(p.size() <= pkgSz);
  // Nonempty packages survive another trip through encoder and decoder,
  // which starts afresh (a stray control mark may be pending).
  rig.Pkg.fSetActive(false);
  rig.Pkg.fSetActive(true);
  std::vector<Bytes> again;
  for (const Bytes& p : got)
    if (!p.empty()) again.push_back(p);
  FuzzedDataProvider whole(nullptr, 0);
  const std::vector<Bytes> back = Decode(rig, Encode(rig, again), whole);
  FUZZ_CHECK(back == again);
}

void Timeout(TRig& rig, FuzzedDataProvider& in) {
  const unsigned long pkgSz = rig.Pkg.fGetPkgSz();
  const int bursts = in.ConsumeIntegralInRange<int>(1, 4);
  for (int i = 0; i < bursts && in.remaining_bytes() > 0; ++i) {
    const Bytes burst = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(1, 2 * pkgSz));
    if (burst.empty()) break;
    int before;
    {
      std::lock_guard lock(rig.Mutex);
      before = rig.Notified;
    }
    // Handed over in pieces; the engine's stamp of the last receipt lies in
    // the past, so the framer closes the package once the bytes are taken.
    std::vector<Bytes> pieces;
    for (size_t pos = 0, n; pos < burst.size(); pos += n) {
      n = std::min(burst.size() - pos, in.ConsumeIntegralInRange<size_t>(1, 128));
      pieces.emplace_back(burst.begin() + static_cast<ptrdiff_t>(pos), burst.begin() + static_cast<ptrdiff_t>(pos + n));
    }
    rig.Comm.Give(std::move(pieces));
    rig.Pkg.fNewCommNotify(&rig.Comm, kRxChar);
    {
      std::unique_lock lock(rig.Mutex);
      FUZZ_CHECK(rig.Cv.wait_for(lock, std::chrono::seconds(10), [&] { return rig.Notified > before; }));
    }
    FUZZ_CHECK(rig.Comm.Drained());
    const std::vector<Bytes> got = rig.TakeAll();
    FUZZ_CHECK(got.size() == 1);
    const size_t n = std::min<size_t>(burst.size(), pkgSz);
    FUZZ_CHECK(got[0].size() == n && std::equal(got[0].begin(), got[0].end(), burst.begin()));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  static TRig* rig = new TRig;  // one framer (and its timer thread) for the whole run
  const bool timeout = in.ConsumeBool();
  // Small package sizes make the cuts and the parts show up often.
  rig->Pkg.fSetActive(false);
  rig->Pkg.fSetPkgSz(in.ConsumeIntegralInRange<unsigned long>(TCommPackage::MinPkgSz, 300));
  rig->Pkg.fSetPkgType(timeout ? cptFrameTimeout : cptFrameHeadTail);
  // A small transmit queue sends the larger packages in parts.
  rig->Comm.OutQueue->fSetBufSize(in.ConsumeIntegralInRange<int32_t>(16, 1024));
  rig->Pkg.fSetActive(true);
  if (timeout)
    Timeout(*rig, in);
  else
    FrameMarks(*rig, in);
  return 0;
}
