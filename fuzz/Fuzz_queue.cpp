// The byte ring under random sequences of its operations, against a
// std::deque: the same bytes in the same order, the same counts, and a
// queue of capacity n that holds exactly n - 1 bytes.
#include <algorithm>
#include <deque>
#include <vector>

#include "FuzzCheck.h"
#include "TCommQueue.h"

using QuarlComm32::TCommQueue;

namespace {

struct TModel {
  int32_t Capacity;
  bool HasBuffer;
  std::deque<uint8_t> Bytes;
  int32_t Room() const { return HasBuffer ? Capacity - 1 - static_cast<int32_t>(Bytes.size()) : 0; }
};

void CheckState(const TCommQueue& q, const TModel& m) {
  FUZZ_CHECK(q.HasBuffer() == m.HasBuffer);
  FUZZ_CHECK(q.fGetBufSize() == m.Capacity);
  FUZZ_CHECK(q.Count() == static_cast<int32_t>(m.Bytes.size()));
  FUZZ_CHECK(q.FreeSpace() == m.Room());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const int32_t capacity = in.ConsumeIntegralInRange<int32_t>(-2, 300);
  TCommQueue q(capacity);
  TModel m{capacity, capacity > 0, {}};
  CheckState(q, m);

  while (in.remaining_bytes() > 0) {
    const int op = in.ConsumeIntegralInRange<int>(0, 10);
    const int32_t n = in.ConsumeIntegralInRange<int32_t>(-1, 320);
    switch (op) {
      case 0: {  // block write
        std::vector<uint8_t> bytes(static_cast<size_t>(std::max(n, 0)));
        for (uint8_t& b : bytes) b = in.ConsumeIntegral<uint8_t>();
        const int32_t got = q.In(bytes.data(), n);
        const int32_t want = n <= 0 ? 0 : std::min(n, m.Room());
        FUZZ_CHECK(got == want);
        m.Bytes.insert(m.Bytes.end(), bytes.begin(), bytes.begin() + want);
        break;
      }
      case 1: {  // one byte
        const uint8_t b = in.ConsumeIntegral<uint8_t>();
        const int32_t got = q.In(&b);
        FUZZ_CHECK(got == (m.Room() > 0 ? 1 : 0));
        if (got) m.Bytes.push_back(b);
        break;
      }
      case 2: {  // block read
        std::vector<uint8_t> out(static_cast<size_t>(std::max(n, 0)));
        const int32_t got = q.Out(out.data(), n);
        const int32_t want = n <= 0 || !m.HasBuffer ? 0 : std::min<int32_t>(n, static_cast<int32_t>(m.Bytes.size()));
        FUZZ_CHECK(got == want);
        FUZZ_CHECK(std::equal(out.begin(), out.begin() + got, m.Bytes.begin()));
        m.Bytes.erase(m.Bytes.begin(), m.Bytes.begin() + got);
        break;
      }
      case 3: {  // one byte out
        uint8_t b = 0;
        const int32_t got = q.Out(&b);
        FUZZ_CHECK(got == (m.Bytes.empty() ? 0 : 1));
        if (got) {
          FUZZ_CHECK(b == m.Bytes.front());
          m.Bytes.pop_front();
        }
        break;
      }
      case 4: {  // fill in place: at most the span offered
        uint8_t* at = nullptr;
        const int32_t span = q.WriteSpan(at);
        FUZZ_CHECK(span >= 0 && span <= m.Room());
        FUZZ_CHECK((span > 0) == (m.Room() > 0));
        const int32_t k = std::clamp(n, 0, span);
        for (int32_t i = 0; i < k; ++i) at[i] = in.ConsumeIntegral<uint8_t>();  // ASan: inside the buffer
        q.Commit(k);
        m.Bytes.insert(m.Bytes.end(), at, at + k);
        break;
      }
      case 5: {  // empty in place
        const uint8_t* at = nullptr;
        const int32_t span = q.ReadSpan(at);
        FUZZ_CHECK(span >= 0 && span <= static_cast<int32_t>(m.Bytes.size()));
        FUZZ_CHECK((span > 0) == !m.Bytes.empty());
        const int32_t k = std::clamp(n, 0, span);
        FUZZ_CHECK(std::equal(at, at + k, m.Bytes.begin()));
        q.Consume(k);
        m.Bytes.erase(m.Bytes.begin(), m.Bytes.begin() + k);
        break;
      }
      case 6:
        FUZZ_CHECK(q.Discard() == static_cast<int32_t>(m.Bytes.size()));
        m.Bytes.clear();
        break;
      case 7:
        q.Clear();
        m.Bytes.clear();
        break;
      case 8: {  // resize: capacity asked is capacity got, the queue empty
        q.fSetBufSize(n);
        m.Bytes.clear();
        if (n > 0) {
          m.Capacity = n;
          m.HasBuffer = true;
        } else {
          m.HasBuffer = false;
        }
        break;
      }
      default:
        break;
    }
    CheckState(q, m);
  }
  // What is left comes out in order.
  std::vector<uint8_t> rest(m.Bytes.size() + 1);
  const int32_t got = q.Out(rest.data(), static_cast<int32_t>(rest.size()));
  FUZZ_CHECK(got == static_cast<int32_t>(m.Bytes.size()));
  FUZZ_CHECK(std::equal(m.Bytes.begin(), m.Bytes.end(), rest.begin()));
  return 0;
}
