// The way out of a run that must end before its time: an interrupt (Ctrl+C,
// SIGTERM, a closed terminal) or a standard output whose reader has gone.
//
// Nothing ends the process where the request comes in. The console takes
// note of it, and every place where the program may wait asks must_end():
// the waits for the programmer, the transfer loops between bytes, every
// long pause (pause_unless_ending), the console's line and key reads. Each
// then leaves the way it leaves for any other reason (an upload is
// abandoned as ESC abandons it), up to run_program, which releases the
// programmer as at every end; main then ends the process as the request
// would have.
//
// Once the program has heard of the request, nothing more is cut short:
// the abandons' and the release's pauses run whole, whatever else comes.
#pragma once

#include <cstdint>

#include "session/session.h"

namespace chipferry {

/// True once the run must end, as the console reports it; the first reason
/// is kept in s.stop.
bool must_end(Session& s);

/// The end of a run that must end: the exit status the reason gives.
Next ended_early(const Session& s);

/// A pause of `ms` that ends as soon as the run must end. Still one pause
/// on a clock that records them.
void pause_unless_ending(Session& s, uint32_t ms);

}  // namespace chipferry
