#include "operations/chip_operations.h"

#include "app/output.h"

namespace chipferry {
namespace {

Next not_yet(Session& s, char key) {
  const char shown[2] = {key, '\0'};
  print(s, "Option %s is not yet available.\n", shown);
  return Next::menu();
}

}  // namespace

Next dump_rom(Session& s) { return not_yet(s, '5'); }
Next compare_rom(Session& s) { return not_yet(s, '6'); }
Next program_rom(Session& s) { return not_yet(s, '7'); }
Next erase_rom(Session& s) { return not_yet(s, '8'); }
Next blank_check_rom(Session& s) { return not_yet(s, '9'); }

}  // namespace chipferry
