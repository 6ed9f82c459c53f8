// Menu options 3 and 4: the ROM list and the selection of the programmer's
// ROM type.
#pragma once

#include "session/session.h"

namespace chipferry {

Next list_rom_types(Session& s);
Next select_rom_type(Session& s);

}  // namespace chipferry
