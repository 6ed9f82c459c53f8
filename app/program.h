// The main routine of Chipferry: start-up, the menu loop, and the end of
// the run.
#pragma once

#include <optional>

#include "platform/console.h"
#include "session/session.h"

namespace chipferry {

/// --help or --version as the one argument: prints the usage (naming
/// `com1_default`, the device COM1 stands for without CHIPFERRY_COM1) or
/// the version, and gives exit code 0. Nothing for any other arguments,
/// which the run ignores.
std::optional<int> answer_arguments(int argc, const char* const* argv, Console& console,
                                    const char* com1_default);

/// Runs the whole program on the given session and returns the exit code.
/// The port has been released (when it was opened) by the time it returns.
/// A run that had to end before its time (s.stop) gives the status its
/// reason gives (stop_status); main then ends the process as asked.
int run_program(Session& s);

}  // namespace chipferry
