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

  uint64_t now = 0;
  std::vector<uint32_t> sleeps;  ///< every sleep_ms, in order
};

}  // namespace chipferry::sim
