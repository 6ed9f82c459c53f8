#include "platform/interrupt-win32.h"

#include <string>

namespace chipferry::win32_interrupt {
namespace {

// The exit code of a console process that Ctrl+C ends.
constexpr UINT kControlCExit = 0xC000013A;
constexpr size_t kMaxSteps = 8;

// What the handler needs, as globals: it runs on a thread of the system's,
// with nothing else to reach. The port and the steps are set once, from
// the program's thread, before the handler is installed.
ReleaseStep g_release[kMaxSteps];
size_t g_release_size = 0;
HANDLE volatile g_port = INVALID_HANDLE_VALUE;
HANDLE volatile g_screen = INVALID_HANDLE_VALUE;
volatile LONG g_status_width = 0;
volatile LONG g_handling = 0;
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

void send_release(HANDLE port) {
  // Bytes a transfer still had queued are abandoned now.
  PurgeComm(port, PURGE_TXCLEAR);
  for (size_t i = 0; i < g_release_size; ++i) {
    DWORD written = 0;
    WriteFile(port, &g_release[i].byte, 1, &written, nullptr);
    if (g_release[i].pause_ms != 0) Sleep(g_release[i].pause_ms);
  }
  CloseHandle(port);
}

BOOL WINAPI on_console_event(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      break;
    default:
      return FALSE;
  }
  // A second event: at once. TerminateProcess, not ExitProcess: the
  // program's thread may hold a lock of the C runtime's that the end of
  // the process would wait for.
  if (InterlockedExchange(&g_handling, 1) != 0)
    TerminateProcess(GetCurrentProcess(), kControlCExit);
  erase_status();
  const HANDLE port = g_port;
  if (port != INVALID_HANDLE_VALUE) send_release(port);
  TerminateProcess(GetCurrentProcess(), kControlCExit);
  return TRUE;
}

}  // namespace

bool interrupted() { return g_handling != 0; }

void set_status_shown(HANDLE screen, size_t width) {
  g_screen = screen;
  g_status_width = static_cast<LONG>(width);
}

void arm_release(HANDLE port, std::span<const ReleaseStep> release) {
  g_port = INVALID_HANDLE_VALUE;
  g_release_size = 0;
  for (const ReleaseStep& step : release) {
    if (g_release_size < kMaxSteps) g_release[g_release_size++] = step;
  }
  MemoryBarrier();
  g_port = port;
  if (!g_installed) g_installed = SetConsoleCtrlHandler(on_console_event, TRUE) != 0;
}

void disarm_release() { g_port = INVALID_HANDLE_VALUE; }

}  // namespace chipferry::win32_interrupt
