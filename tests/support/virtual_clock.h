// A clock that only moves when told to. Sleeps are recorded, so a test can
// assert every pause of the program exactly, and they cost no real time.
// The tests' and the fuzzer's; the programs never run on it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "platform/clock.h"

namespace chipferry::test {

class VirtualClock : public Clock {
 public:
  void sleep_ms(uint32_t ms) override {
    sleeps.push_back(ms);
    now += ms;
  }
  uint64_t now_ms() override { return now; }
  /// One sleep, as recorded; the ticks come at every `every_ms` of it, and
  /// `ended` is asked every kEndLookMs, as on a real clock.
  void sleep_ms_ticking(uint32_t ms, uint32_t every_ms, const std::function<void(uint32_t)>& tick,
                        const std::function<bool()>& ended = nullptr) override {
    sleeps.push_back(ms);
    const uint64_t start = now;
    uint32_t next_tick = every_ms != 0 ? every_ms : ms;
    uint32_t next_look = 0;
    for (uint32_t slept = 0;;) {
      if (ended && slept == next_look) {
        if (ended()) return;
        next_look += kEndLookMs;
      }
      if (slept >= ms) return;
      uint32_t to = std::min(next_tick, ms);
      if (ended) to = std::min(to, next_look);
      slept = to;
      now = start + slept;
      if (slept == next_tick && slept < ms) {
        tick(slept);
        next_tick += every_ms;
      }
    }
  }

  uint64_t now = 0;
  std::vector<uint32_t> sleeps;  ///< every sleep_ms, in order
};

}  // namespace chipferry::test
