// The signals that ask a run to end on Linux: SIGINT (Ctrl+C), SIGTERM,
// SIGHUP and SIGQUIT.
//
// The handler only takes note of the first one that came; the program's
// own loops see it (PosixConsole::stop_requested) and end the run along
// their normal path: an upload is abandoned as ESC abandons it, the
// programmer is released, the trace is completed, the terminal put back.
// main then ends the process with the same signal and its default action
// (end_as), so the exit status is what the signal alone would have given
// (130 for Ctrl+C in a shell).
//
// The same signal again changes nothing: a closing terminal sends SIGHUP
// twice, and the release must not be cut short by the second. Only what a
// person types again, a second Ctrl+C or Ctrl+\, ends the process at once,
// after putting the terminal's settings back.
//
// SIGPIPE is ignored: a reader of standard output that has gone shows as
// EPIPE, and the run ends as after any other signal. A signal that was
// ignored when the program started (nohup) stays ignored.
#pragma once

#include <signal.h>
#include <termios.h>

#include "platform/console.h"

namespace chipferry::posix_interrupt {

/// Installs the handlers, once.
void install();

/// What the first signal that came since install() asks; Stop::none
/// before one.
Stop received();

/// Adds the signals the handler takes note of to `set`: a wait that must
/// not miss one blocks them and lets ppoll() unblock them while it waits.
void add_noted_signals(sigset_t& set);

/// The terminal settings to put back if a second Ctrl+C ends the process
/// at once.
void arm_terminal(const termios& settings);
void disarm_terminal();

/// Whether a status line stands on standard error, for the same case.
void set_status_shown(bool shown);

/// Ends the process as the signal that `stop` stands for would: its
/// default action, raised again (SIGPIPE for standard output gone).
/// Returns only for Stop::none.
void end_as(Stop stop);

}  // namespace chipferry::posix_interrupt
