#include "transfer/file_options.h"

#include "app/output.h"

namespace chipferry {

Next file_to_buffer(Session& s) {
  print(s, "Option 1 is not yet available.\n");
  return Next::menu();
}

Next buffer_to_file(Session& s) {
  print(s, "Option 2 is not yet available.\n");
  return Next::menu();
}

}  // namespace chipferry
