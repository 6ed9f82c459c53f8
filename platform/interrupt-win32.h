// The way out of a run that the console cuts short on Windows: Ctrl+C,
// Ctrl+Break, the console window being closed, logoff and shutdown.
//
// Windows runs the console's handler on a thread of its own while the
// program goes on. The handler erases the status line, sends the release
// to the port (each byte bounded by the port's write time-out, each pause
// as given), closes the port and ends the process with the exit code a
// Ctrl+C gives (STATUS_CONTROL_C_EXIT). From the moment it starts, the
// backends leave the port and the status line to it (interrupted()), so
// the program's own bytes do not mix with the release. A second event
// meanwhile ends the process at once.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/serial.h"

namespace chipferry::win32_interrupt {

/// True once the handler has started: the port and the status line are
/// its own.
bool interrupted();

/// The width of the status line standing on the console `screen`, which
/// the handler overwrites with blanks; 0: none.
void set_status_shown(HANDLE screen, size_t width);

/// The open port and what to send it; the steps are copied.
void arm_release(HANDLE port, std::span<const ReleaseStep> release);
/// The port is about to be closed: nothing more may be sent to it.
void disarm_release();

}  // namespace chipferry::win32_interrupt
