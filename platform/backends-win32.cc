#include "platform/backends.h"
#include "platform/clock-win32.h"
#include "platform/console-win32.h"
#include "platform/serial-win32.h"

namespace chipferry {

Backends make_backends() {
  Backends b;
  b.com1_default = "COM1";
  b.serial = std::make_unique<Win32Serial>();
  b.console = std::make_unique<Win32Console>();
  b.clock = std::make_unique<Win32Clock>();
  return b;
}

}  // namespace chipferry
