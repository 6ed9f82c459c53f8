#include "platform/backends.h"
#include "platform/clock-posix.h"
#include "platform/console-posix.h"
#include "platform/serial-posix.h"

namespace chipferry {

Backends make_backends() {
  Backends b;
  b.com1_default = "/dev/ttyS0";
  b.serial = std::make_unique<PosixSerial>(b.com1_default);
  b.console = std::make_unique<PosixConsole>();
  b.clock = std::make_unique<PosixClock>();
  return b;
}

}  // namespace chipferry
