// The main routine of Chipferry: start-up, the menu loop, and the end of
// the run.
#pragma once

#include <span>

#include "app/steps.h"
#include "session/session.h"

namespace chipferry {

/// Runs the whole program on the given session and returns the exit code:
/// the menu, or with `steps` (read_command_line) those steps in their
/// order. The port has been released (when it was opened) by the time it
/// returns. A run that had to end before its time (s.stop) gives the
/// status its reason gives (stop_status); main then ends the process as
/// asked.
int run_program(Session& s, std::span<const Step> steps = {});

}  // namespace chipferry
