#include "Clock.h"

#include <chrono>
#include <thread>

namespace Z500 {

uint32_t TSteadyClock::TickCount() {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now().time_since_epoch());
  // Truncated to 32 bits, like the counter the waits expect.
  return static_cast<uint32_t>(ms.count());
}

void TSteadyClock::Sleep(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace Z500
