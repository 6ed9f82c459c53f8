#include "link/replies.h"

#include "catalogue/catalogue.h"
#include "link/port.h"

namespace chipferry {

bool query_rom_type(Session& s) {
  send_string(s, "R\r");
  s.clock.sleep_ms(100);
  if (!wait_bracket(s)) return false;
  for (int i = 0; i < 4; ++i) s.text[i] = static_cast<char>(read_byte(s));
  s.text[4] = '\0';
  // The type code is the short name padded with leading '0's.
  while (s.text[0] == '0') {
    for (int i = 0; i < 4; ++i) s.text[i] = s.text[i + 1];
    s.text[4] = '\0';
  }
  if (const RomType* type = find_rom_type(s.text, NameColumn::short_name)) {
    if (type->size_class < kSizeClassCount) s.transfer_length = capacity_of(type->size_class);
  }
  return true;
}

}  // namespace chipferry
