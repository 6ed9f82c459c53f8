#include "catalogue/rom_list.h"

#include "app/output.h"

namespace chipferry {

Next list_rom_types(Session& s) {
  print(s, "Option 3 is not yet available.\n");
  return Next::menu();
}

Next select_rom_type(Session& s) {
  print(s, "Option 4 is not yet available.\n");
  return Next::menu();
}

}  // namespace chipferry
