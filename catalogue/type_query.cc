#include "catalogue/type_query.h"

#include "catalogue/catalogue.h"
#include "link/port.h"
#include "link/replies.h"

namespace chipferry {

Next query_rom_type(Session& s) {
  if (!read_type_code(s)) return no_response(s);
  // The matched row is not remembered: only its capacity matters.
  const RomType* type = find_rom_type(s.text, NameColumn::short_name);
  if (type != nullptr && type->size_class < kSizeClassCount) {
    s.transfer_length = capacity_of(type->size_class);
  }
  return Next::carry_on();
}

}  // namespace chipferry
