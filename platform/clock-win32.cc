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

}  // namespace chipferry
