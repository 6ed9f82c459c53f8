// The console's requests to end a run on Windows: Ctrl+C, Ctrl+Break, the
// console window being closed, logoff and shutdown.
//
// Windows runs the console's handler on a thread of its own while the
// program goes on. The handler only takes note of the first event; the
// program's own loops see it (Win32Console::stop_requested) and end the
// run along their normal path, releasing the programmer, and main ends the
// process with the exit code a Ctrl+C gives (STATUS_CONTROL_C_EXIT).
//
// A second Ctrl+C or Ctrl+Break meanwhile ends the process at once. For
// the close, logoff and shutdown events Windows ends the process as soon
// as the handler returns, so the handler waits (a few seconds at most,
// within what Windows grants) until the program has released the port.
#pragma once

#include <windows.h>

#include <cstddef>

#include "platform/console.h"

namespace chipferry::win32_interrupt {

/// The exit code of a process a Ctrl+C ended (STATUS_CONTROL_C_EXIT).
constexpr UINT kControlCExit = 0xC000013A;

/// Installs the handler, once.
void install();

/// The first request that came; Stop::none before one.
Stop received();

/// The width of the status line standing on the console `screen`, which a
/// second Ctrl+C overwrites with blanks as it ends the process; 0: none.
void set_status_shown(HANDLE screen, size_t width);

/// The run is over and the port released: a handler that holds the
/// process open for it may let go.
void released();

}  // namespace chipferry::win32_interrupt
