// A clock that only moves when told to. Sleeps are recorded, so a test can
// assert every pause of the program exactly, and they cost no real time.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/clock.h"

namespace chipferry::sim {

class VirtualClock : public Clock {
 public:
  void sleep_ms(uint32_t ms) override {
    sleeps.push_back(ms);
    now += ms;
  }
  uint64_t now_ms() override { return now; }
  /// One sleep, as recorded; the ticks come at every `every_ms` of it.
  void sleep_ms_ticking(uint32_t ms, uint32_t every_ms,
                        const std::function<void(uint32_t)>& tick) override {
    sleeps.push_back(ms);
    const uint64_t start = now;
    for (uint32_t slept = every_ms; every_ms != 0 && slept < ms; slept += every_ms) {
      now = start + slept;
      tick(slept);
    }
    now = start + ms;
  }

  uint64_t now = 0;
  std::vector<uint32_t> sleeps;  ///< every sleep_ms, in order
};

}  // namespace chipferry::sim
