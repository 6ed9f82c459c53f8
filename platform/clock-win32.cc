#include "platform/clock-win32.h"

#include <windows.h>

namespace chipferry {

void Win32Clock::sleep_ms(uint32_t ms) { Sleep(ms); }

// The tick count moves in steps of 10 to 16 ms; a trace's times and a
// transfer's rate want the millisecond.
uint64_t Win32Clock::now_ms() {
  LARGE_INTEGER frequency;
  LARGE_INTEGER count;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&count);
  const auto f = static_cast<uint64_t>(frequency.QuadPart);
  const auto c = static_cast<uint64_t>(count.QuadPart);
  return c / f * 1000 + c % f * 1000 / f;
}

void Win32Clock::sleep_ms_ticking(uint32_t ms, uint32_t every_ms,
                                  const std::function<void(uint32_t)>& tick) {
  // Each nap ends at a fixed offset from the start, so the naps add up to
  // the pause, however late each of them wakes.
  const ULONGLONG start = GetTickCount64();
  auto sleep_until = [start](uint32_t after_ms) {
    for (ULONGLONG now = GetTickCount64(); now < start + after_ms; now = GetTickCount64()) {
      Sleep(static_cast<DWORD>(start + after_ms - now));
    }
  };
  for (uint32_t slept = every_ms; every_ms != 0 && slept < ms; slept += every_ms) {
    sleep_until(slept);
    tick(slept);
  }
  sleep_until(ms);
}

}  // namespace chipferry
