// The three backends that connect the program to the machine it runs on.
// Each platform provides make_backends() in its own file (backends-posix.cc,
// backends-win32.cc); the build picks one, so main() stays the same
// everywhere.
#pragma once

#include <memory>
#include <string>

#include "platform/clock.h"
#include "platform/console.h"
#include "platform/serial.h"

namespace chipferry {

struct Backends {
  std::unique_ptr<SerialDevice> serial;
  std::unique_ptr<Console> console;
  std::unique_ptr<Clock> clock;
  /// The system the program runs on, as a trace's header names it.
  std::string platform;
  /// The device COM1 stands for when CHIPFERRY_COM1 is not set.
  const char* com1_default = "";
};

Backends make_backends();

}  // namespace chipferry
