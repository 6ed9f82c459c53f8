// The main routine of Chipferry: start-up, the menu loop, and the end of
// the run.
#pragma once

#include "session/session.h"

namespace chipferry {

/// Runs the whole program on the given session and returns the exit code.
/// The port has been released (when it was opened) by the time it returns.
int run_program(Session& s);

}  // namespace chipferry
