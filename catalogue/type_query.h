// The type query: the programmer's current ROM type, looked up among the
// short names, sets the transfer length. Dump, compare, program, blank
// check and the download open with it.
#pragma once

#include "catalogue/catalogue.h"
#include "session/session.h"

namespace chipferry {

/// How the type query ended, and the row of the programmer's ROM type:
/// nullptr when its type code matched no short name.
struct QueriedType {
  Next next;
  const RomType* type = nullptr;
};

/// Sends the type query and sets the transfer length from the programmer's
/// current ROM type. A type code that matches no short name leaves the
/// length as it was. Ends the run with "No Response" when no "[" came.
QueriedType query_rom_type(Session& s);

}  // namespace chipferry
