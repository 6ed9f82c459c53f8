// The way out of a run that a signal cuts short on Linux: SIGINT (Ctrl+C),
// SIGTERM, SIGHUP and SIGQUIT.
//
// The backends leave here what must be put right before the process ends:
// the console the terminal settings to restore and whether a status line
// stands on standard error, the serial device its port and the release to
// send to it. The handler then restores the terminal, sends the release
// (each byte bounded, each pause as given), closes the port, erases the
// status line, and ends the process with the same signal and its default
// action, so the exit status is what the signal alone would have given
// (130 for Ctrl+C in a shell). The terminal comes first: a second Ctrl+C
// ends the process at once, and must not leave the keyboard without echo.
//
// A signal that was ignored when the program started (nohup) stays ignored.
#pragma once

#include <termios.h>

#include <cstdint>
#include <span>

#include "platform/serial.h"

namespace chipferry::posix_interrupt {

/// The terminal settings to put back on standard input.
void arm_terminal(const termios& settings);
void disarm_terminal();

/// Whether a status line stands on standard error, to be erased.
void set_status_shown(bool shown);

/// The open port `fd` and what to send it; the steps are copied.
void arm_release(int fd, std::span<const ReleaseStep> release, uint32_t byte_timeout_ms);
/// The port is about to be closed: nothing more may be sent to it.
void disarm_release();

}  // namespace chipferry::posix_interrupt
