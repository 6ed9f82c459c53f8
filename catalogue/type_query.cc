#include "catalogue/type_query.h"

#include "link/port.h"
#include "link/replies.h"

namespace chipferry {

QueriedType query_rom_type(Session& s) {
  if (!read_type_code(s)) return {no_response(s), nullptr};
  const RomType* type = find_rom_type(s.text, NameColumn::short_name);
  if (type == nullptr || type->size_class >= kSizeClassCount) return {Next::carry_on(), nullptr};
  return {Next::carry_on(), type};
}

}  // namespace chipferry
