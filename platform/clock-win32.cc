#include "platform/clock-win32.h"

#include <windows.h>

namespace chipferry {

void Win32Clock::sleep_ms(uint32_t ms) { Sleep(ms); }

uint64_t Win32Clock::now_ms() { return GetTickCount64(); }

}  // namespace chipferry
