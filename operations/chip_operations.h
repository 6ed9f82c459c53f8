// Menu options 5 to 9: the chip operations the programmer carries out on
// the chip in its socket. Each is run_chip_operation (link/replies.h) with
// a record of its own.
#pragma once

#include "app/session.h"

namespace chipferry {

Next dump_rom(Session& s);
Next compare_rom(Session& s);
Next program_rom(Session& s);
Next erase_rom(Session& s);
Next blank_check_rom(Session& s);

/// Prints `prompt` and reads one word, without discarding what was typed
/// ahead: a word on the menu line answers at once. True when it equals
/// `word`, ignoring the case of A-Z. A word too long for the text buffer,
/// or the end of input, refuses.
bool ask_confirmation(Session& s, const char* prompt, const char* word);

}  // namespace chipferry
