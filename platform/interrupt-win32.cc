#include "platform/interrupt-win32.h"

#include <string>

namespace chipferry::win32_interrupt {
namespace {

// Windows grants a handler about five seconds after a close, logoff or
// shutdown event; the release takes a fraction of a second, a download's
// abandon up to five. What is left when this runs out is cut short.
constexpr DWORD kCloseGraceMs = 4500;

// What the handler reads and writes, as globals: it runs on a thread of
// the system's, with nothing else to reach.
volatile LONG g_received = 0;  // a Stop
HANDLE volatile g_screen = INVALID_HANDLE_VALUE;
volatile LONG g_status_width = 0;
HANDLE g_released = nullptr;
bool g_installed = false;

void erase_status() {
  const LONG width = g_status_width;
  const HANDLE screen = g_screen;
  if (width <= 0 || screen == INVALID_HANDLE_VALUE) return;
  std::string blank = "\r";
  blank.append(static_cast<size_t>(width), ' ');
  blank += '\r';
  DWORD written = 0;
  WriteFile(screen, blank.data(), static_cast<DWORD>(blank.size()), &written, nullptr);
}

BOOL WINAPI on_console_event(DWORD event) {
  Stop stop = Stop::none;
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      stop = Stop::interrupt;
      break;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      stop = Stop::hang_up;
      break;
    default:
      return FALSE;
  }
  const LONG before = InterlockedCompareExchange(&g_received, static_cast<LONG>(stop), 0);
  // Typed again: at once. TerminateProcess, not ExitProcess: the program's
  // thread may hold a lock of the C runtime's that the end of the process
  // would wait for.
  if (before != 0 && stop == Stop::interrupt) {
    erase_status();
    TerminateProcess(GetCurrentProcess(), kControlCExit);
  }
  if (stop == Stop::hang_up && g_released != nullptr)
    WaitForSingleObject(g_released, kCloseGraceMs);
  return TRUE;
}

}  // namespace

void install() {
  if (g_installed) return;
  g_installed = true;
  g_released = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

Stop received() { return static_cast<Stop>(InterlockedCompareExchange(&g_received, 0, 0)); }

void set_status_shown(HANDLE screen, size_t width) {
  g_screen = screen;
  g_status_width = static_cast<LONG>(width);
}

void released() {
  if (g_released != nullptr) SetEvent(g_released);
}

}  // namespace chipferry::win32_interrupt
