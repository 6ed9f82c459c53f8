// The type query: the programmer's current ROM type, looked up among the
// short names, sets the transfer length. Dump, compare, program, blank
// check and the download open with it.
#pragma once

#include "session/session.h"

namespace chipferry {

/// Sends "R\r" and sets the transfer length from the programmer's current
/// ROM type. A type code that matches no short name leaves the length as
/// it was. Ends the run with "No Response" when no "[" came.
Next query_rom_type(Session& s);

}  // namespace chipferry
