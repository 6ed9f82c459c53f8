// The type query: the programmer's current ROM type, looked up among the
// short names. Dump, compare, program, blank check and the download open
// with it, and take their transfer length from what it found.
#pragma once

#include <cstdint>

#include "catalogue/catalogue.h"
#include "session/session.h"

namespace chipferry {

/// How the type query ended, and the row of the programmer's ROM type:
/// nullptr when its type code matched no short name.
struct QueriedType {
  Next next;
  const RomType* type = nullptr;

  /// The transfer length the programmer's type holds; `otherwise` when no
  /// type matched, so that the length stays as it was.
  int32_t length_or(int32_t otherwise) const {
    return type != nullptr ? capacity_of(type->size_class) : otherwise;
  }
};

/// Sends the type query and looks the programmer's current ROM type up.
/// Changes nothing in the session: the caller stores the length it found.
/// Ends the run with "No Response" when no "[" came.
QueriedType query_rom_type(Session& s);

}  // namespace chipferry
