#include <signal.h>
#include <sys/utsname.h>

#include "platform/backends.h"
#include "platform/clock-posix.h"
#include "platform/com1.h"
#include "platform/console-posix.h"
#include "platform/interrupt-posix.h"
#include "platform/serial-posix.h"

namespace chipferry {
namespace {

std::string system_name() {
  utsname u{};
  if (uname(&u) != 0) return "POSIX";
  return std::string(u.sysname) + " " + u.release + " " + u.machine;
}

}  // namespace

Backends make_backends(RemoteSerial remote) {
  posix_interrupt::install();
  Backends b;
  b.com1_default = "/dev/ttyS0";
  b.clock = std::make_unique<PosixClock>();
  b.serial = remote(com1_device(b.com1_default), *b.clock);
  if (!b.serial) b.serial = std::make_unique<PosixSerial>(b.com1_default);
  b.console = std::make_unique<PosixConsole>();
  b.platform = system_name();
  return b;
}

void end_as(Stop stop) { posix_interrupt::end_as(stop); }

}  // namespace chipferry
