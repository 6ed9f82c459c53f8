// The way out of a run that the console cuts short on Windows: Ctrl+C,
// Ctrl+Break, the console window being closed, logoff and shutdown.
//
// Windows runs the console's handler on a thread of its own while the
// program goes on. The handler sends the release to the port (each byte
// bounded by the port's write time-out, each pause as given), closes the
// port and ends the process with the exit code a Ctrl+C gives
// (STATUS_CONTROL_C_EXIT). From the moment it starts, the backend leaves
// the port to it (interrupted()), so the program's own bytes do not mix
// with the release. A second event
// meanwhile ends the process at once.
#pragma once

#include <windows.h>

#include <cstdint>
#include <span>

#include "platform/serial.h"

namespace chipferry::win32_interrupt {

/// True once the handler has started: the port is its own.
bool interrupted();

/// The open port and what to send it; the steps are copied.
void arm_release(HANDLE port, std::span<const ReleaseStep> release);
/// The port is about to be closed: nothing more may be sent to it.
void disarm_release();

}  // namespace chipferry::win32_interrupt
