// The clock seam. Every pause of the program is a sleep_ms() call, so a
// virtual clock in the tests turns an eight-minute wait into microseconds
// and lets each pause be asserted exactly.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>

namespace chipferry {

/// How often a pause that the end of the run may cut short looks whether
/// it has come: at once for a person, and nothing for the processor.
constexpr uint32_t kEndLookMs = 50;

class Clock {
 public:
  virtual ~Clock() = default;
  /// Blocks for `ms` milliseconds.
  virtual void sleep_ms(uint32_t ms) = 0;
  /// Milliseconds since an arbitrary fixed point, never going back.
  virtual uint64_t now_ms() = 0;

  /// One pause of `ms` milliseconds, as sleep_ms() makes it, during which
  /// `tick` is called about every `every_ms` (never when it is 0) with the
  /// milliseconds slept so far, so that a status line can count the pause;
  /// and which ends early once `ended` says so, asked about every
  /// kEndLookMs: a run that must end does not sit out five minutes
  /// of a chip operation. It is still one pause: a clock that records
  /// pauses records one, of `ms`.
  virtual void sleep_ms_ticking(uint32_t ms, uint32_t every_ms,
                                const std::function<void(uint32_t slept_ms)>& tick,
                                const std::function<bool()>& ended) {
    // Each nap ends at a fixed offset from the start, so the naps add up to
    // the pause, however late each of them wakes.
    const uint64_t start = now_ms();
    auto sleep_until = [&](uint32_t after_ms) {
      for (uint64_t now = now_ms(); now < start + after_ms; now = now_ms()) {
        if (ended()) return false;
        sleep_ms(std::min(static_cast<uint32_t>(start + after_ms - now), kEndLookMs));
      }
      return true;
    };
    for (uint32_t slept = every_ms; every_ms != 0 && slept < ms; slept += every_ms) {
      if (!sleep_until(slept)) return;
      tick(slept);
    }
    sleep_until(ms);
  }
};

}  // namespace chipferry
