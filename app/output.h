// Formatted console output. The format is always a literal of the program:
// the compiler checks it, and user or device text only ever enters as an
// argument.
#pragma once

#include "app/session.h"

namespace chipferry {

void print(Session& s, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace chipferry
