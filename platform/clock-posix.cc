#include "platform/clock-posix.h"

#include <cerrno>
#include <ctime>

namespace chipferry {
namespace {

void sleep_until(const timespec& start, uint32_t after_ms) {
  timespec at = start;
  at.tv_sec += static_cast<time_t>(after_ms / 1000);
  at.tv_nsec += static_cast<long>(after_ms % 1000) * 1000000L;
  if (at.tv_nsec >= 1000000000L) {
    at.tv_sec += 1;
    at.tv_nsec -= 1000000000L;
  }
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
  }
}

}  // namespace

void PosixClock::sleep_ms(uint32_t ms) {
  timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

void PosixClock::sleep_ms_ticking(uint32_t ms, uint32_t every_ms,
                                  const std::function<void(uint32_t)>& tick) {
  // Each nap ends at a fixed offset from the start, so the naps add up to
  // the pause exactly, however late each of them wakes.
  timespec start{};
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (uint32_t slept = every_ms; every_ms != 0 && slept < ms; slept += every_ms) {
    sleep_until(start, slept);
    tick(slept);
  }
  sleep_until(start, ms);
}

uint64_t PosixClock::now_ms() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec / 1000000);
}

}  // namespace chipferry
