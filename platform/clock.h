// The clock seam. Every pause of the program is a sleep_ms() call, so a
// virtual clock in the tests turns an eight-minute wait into microseconds
// and lets each pause be asserted exactly.
#pragma once

#include <cstdint>
#include <functional>

namespace chipferry {

class Clock {
 public:
  virtual ~Clock() = default;
  /// Blocks for `ms` milliseconds.
  virtual void sleep_ms(uint32_t ms) = 0;
  /// Milliseconds since an arbitrary fixed point, never going back.
  virtual uint64_t now_ms() = 0;

  /// One pause of `ms` milliseconds, as sleep_ms() makes it, during which
  /// `tick` is called about every `every_ms` with the milliseconds slept
  /// so far, so that a status line can count the pause. It is still one
  /// pause: a clock that records pauses records one. A clock that cannot
  /// wake meanwhile sleeps it in one and never ticks.
  virtual void sleep_ms_ticking(uint32_t ms, uint32_t every_ms,
                                const std::function<void(uint32_t slept_ms)>& tick) {
    (void)every_ms;
    (void)tick;
    sleep_ms(ms);
  }
};

}  // namespace chipferry
