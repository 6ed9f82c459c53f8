// The end of a bounded wait: a wait made of several calls (a connect to
// several addresses, a read that brings only Telnet's own bytes) still
// ends when it was to end. A wait in a system call counts on the steady
// clock; a wait of the network port counts on the program's Clock, so
// that the tests run it on their virtual clock.
#pragma once

#include <chrono>
#include <cstdint>

#include "platform/clock.h"

namespace chipferry {

class Deadline {
 public:
  /// `ms` from now on the steady clock.
  explicit Deadline(uint32_t ms) : end_(Steady::now() + std::chrono::milliseconds(ms)) {}
  /// `ms` from now on `clock`.
  Deadline(Clock& clock, uint32_t ms) : clock_(&clock), end_ms_(clock.now_ms() + ms) {}

  /// Milliseconds still to wait; 0 once the time is up.
  uint32_t left_ms() const {
    if (clock_ != nullptr) {
      const uint64_t now = clock_->now_ms();
      return now < end_ms_ ? static_cast<uint32_t>(end_ms_ - now) : 0;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(end_ - Steady::now()).count();
    return left > 0 ? static_cast<uint32_t>(left) : 0;
  }

 private:
  using Steady = std::chrono::steady_clock;
  Steady::time_point end_{};
  Clock* clock_ = nullptr;
  uint64_t end_ms_ = 0;
};

}  // namespace chipferry
