#include "catalogue/type_query.h"

#include <optional>
#include <string>

#include "link/port.h"
#include "link/replies.h"

namespace chipferry {

QueriedType query_rom_type(Session& s) {
  const std::optional<std::string> code = read_type_code(s);
  if (!code) return {no_response(s), nullptr};
  return {Next::carry_on(), find_rom_type(*code, NameColumn::short_name)};
}

}  // namespace chipferry
