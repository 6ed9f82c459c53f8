// Menu options 3 and 4: the ROM list and the selection of the programmer's
// ROM type.
#pragma once

#include "catalogue/catalogue.h"
#include "session/session.h"

namespace chipferry {

/// What the selection says of a name that is no type's.
constexpr char kUnknownRomType[] = "Unknown ROM type, see ROM list for supported types.\n";

Next list_rom_types(Session& s);
/// Option 4: asks for a name, then set_rom_type.
Next select_rom_type(Session& s);
/// Sets the programmer to `type`, and says which it is.
Next set_rom_type(Session& s, const RomType& type);

}  // namespace chipferry
