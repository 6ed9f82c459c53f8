// The clock seam. Every pause of the program is a sleep_ms() call, so a
// virtual clock in the tests turns an eight-minute wait into microseconds
// and lets each pause be asserted exactly.
#pragma once

#include <cstdint>

namespace chipferry {

class Clock {
 public:
  virtual ~Clock() = default;
  /// Blocks for `ms` milliseconds.
  virtual void sleep_ms(uint32_t ms) = 0;
  /// Milliseconds since an arbitrary fixed point, never going back.
  virtual uint64_t now_ms() = 0;
};

}  // namespace chipferry
