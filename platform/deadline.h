// The end of a bounded wait on the network, on the steady clock: a wait
// made of several calls (a connect to several addresses, a read that
// brings only Telnet's own bytes) still ends when it was to end.
#pragma once

#include <chrono>
#include <cstdint>

namespace chipferry {

class Deadline {
 public:
  explicit Deadline(uint32_t ms) : end_(Clock::now() + std::chrono::milliseconds(ms)) {}

  /// Milliseconds still to wait; 0 once the time is up.
  uint32_t left_ms() const {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(end_ - Clock::now()).count();
    return left > 0 ? static_cast<uint32_t>(left) : 0;
  }

 private:
  using Clock = std::chrono::steady_clock;
  Clock::time_point end_;
};

}  // namespace chipferry
