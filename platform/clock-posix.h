#pragma once

#include "platform/clock.h"

namespace chipferry {

class PosixClock : public Clock {
 public:
  void sleep_ms(uint32_t ms) override;
  uint64_t now_ms() override;
  void sleep_ms_ticking(uint32_t ms, uint32_t every_ms,
                        const std::function<void(uint32_t)>& tick) override;
};

}  // namespace chipferry
