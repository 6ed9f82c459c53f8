// The recording layer behind CHIPFERRY_TRACE: a serial device and a clock
// that pass every call on to the machine's own and write down, as it
// happens, what each call did: the bytes that moved either way, and what
// is not a byte (a pause, a break, a discard, a write that delivered
// nothing, a read that timed out, the opening and the closing).
//
// The program above cannot tell the layer is there, and the backends below
// get the same calls in the same order; the layer only adds the time it
// takes to hand a few characters to a file. Its times count from the
// moment the port is opened, on the clock the program pauses with, so on
// a virtual clock the trace shows virtual time.
#pragma once

#include <string>

#include "platform/backends.h"

namespace chipferry::trace {

/// Puts the recording layer around the serial device and the clock of
/// `backends`, writing to a new file at `path` (an existing one is
/// replaced). False, with `error` naming the file and the reason, when the
/// file cannot be created; `backends` are then left as they were.
///
/// The file is complete once the backends are gone; if it could not be
/// written whole, one line on standard error says so then.
bool record(Backends& backends, const std::string& path, std::string& error);

}  // namespace chipferry::trace
