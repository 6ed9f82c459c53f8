#pragma once

#include "platform/clock.h"

namespace chipferry {

class Win32Clock : public Clock {
 public:
  void sleep_ms(uint32_t ms) override;
  uint64_t now_ms() override;
};

}  // namespace chipferry
