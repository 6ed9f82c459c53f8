// The programmer's short replies, and the type query.
#pragma once

#include "app/session.h"

namespace chipferry {

/// Asks the programmer for its ROM type ("R\r") and sets the transfer
/// length from it; an unknown type code leaves the length as it was.
// returns false when no "[" came (the caller prints "No Response\n" and ends with 6)
bool query_rom_type(Session& s);

}  // namespace chipferry
