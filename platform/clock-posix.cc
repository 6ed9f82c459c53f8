#include "platform/clock-posix.h"

#include <cerrno>
#include <ctime>

namespace chipferry {

void PosixClock::sleep_ms(uint32_t ms) {
  timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

}  // namespace chipferry
