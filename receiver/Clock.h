// The millisecond tick and the pause the window's waits use, behind an
// interface so that tests can run a 15 s or 60 s wait in a few milliseconds.
#pragma once

#include <cstdint>

namespace Z500 {

class IClock {
public:
  virtual ~IClock() = default;
  // Milliseconds since some fixed point; wraps around like a 32-bit counter.
  virtual uint32_t TickCount() = 0;
  // Blocks the calling thread for `ms` milliseconds.
  virtual void Sleep(uint32_t ms) = 0;
};

// The steady clock and a real sleep.
class TSteadyClock : public IClock {
public:
  uint32_t TickCount() override;
  void Sleep(uint32_t ms) override;
};

}  // namespace Z500
