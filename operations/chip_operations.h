// Menu options 5 to 9: the chip operations the programmer carries out on
// the chip in its socket. Each is run_chip_operation (operations/sequence.h)
// with a record of its own.
#pragma once

#include "session/session.h"

namespace chipferry {

Next dump_rom(Session& s);
Next compare_rom(Session& s);
Next program_rom(Session& s);
Next erase_rom(Session& s);
Next blank_check_rom(Session& s);

/// Program and erase as a command line asks for them: it is their
/// confirmation, so no word is asked; all else as in the menu.
Next program_rom_confirmed(Session& s);
Next erase_rom_confirmed(Session& s);

}  // namespace chipferry
