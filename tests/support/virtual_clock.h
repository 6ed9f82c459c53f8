// A clock that only moves when told to. Sleeps are recorded, so a test can
// assert every pause of the program exactly, and they cost no real time.
// The tests' and the fuzzer's; the programs never run on it.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/clock.h"

namespace chipferry::test {

class VirtualClock : public Clock {
 public:
  void sleep_ms(uint32_t ms) override {
    if (recording_) {
      sleeps.push_back(ms);
    } else {
      ++naps;
    }
    now += ms;
  }
  uint64_t now_ms() override { return now; }
  /// One sleep, as recorded; its naps, the ticks and the looks at `ended`
  /// are the real clock's own.
  void sleep_ms_ticking(uint32_t ms, uint32_t every_ms, const std::function<void(uint32_t)>& tick,
                        const std::function<bool()>& ended) override {
    sleeps.push_back(ms);
    recording_ = false;
    Clock::sleep_ms_ticking(ms, every_ms, tick, ended);
    recording_ = true;
  }

  uint64_t now = 0;
  std::vector<uint32_t> sleeps;  ///< every sleep_ms, in order
  int naps = 0;                  ///< the naps the sleep_ms_ticking pauses were made of

 private:
  bool recording_ = true;
};

}  // namespace chipferry::test
