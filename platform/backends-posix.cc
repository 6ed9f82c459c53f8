#include <signal.h>
#include <sys/utsname.h>

#include "platform/backends.h"
#include "platform/clock-posix.h"
#include "platform/console-posix.h"
#include "platform/interrupt-posix.h"
#include "platform/serial-posix.h"
#include "platform/serial-rfc2217.h"

namespace chipferry {
namespace {

std::string system_name() {
  utsname u{};
  if (uname(&u) != 0) return "POSIX";
  return std::string(u.sysname) + " " + u.release + " " + u.machine;
}

}  // namespace

Backends make_backends() {
  posix_interrupt::install();
  Backends b;
  b.com1_default = "/dev/ttyS0";
  // rfc2217://HOST:PORT in CHIPFERRY_COM1 is a port on another machine.
  b.serial = remote_serial(b.com1_default);
  if (!b.serial) b.serial = std::make_unique<PosixSerial>(b.com1_default);
  b.console = std::make_unique<PosixConsole>();
  b.clock = std::make_unique<PosixClock>();
  b.platform = system_name();
  return b;
}

void end_as(Stop stop) {
  switch (stop) {
    case Stop::none:
      return;
    case Stop::interrupt:
      posix_interrupt::end_as(SIGINT);
    case Stop::quit:
      posix_interrupt::end_as(SIGQUIT);
    case Stop::terminate:
      posix_interrupt::end_as(SIGTERM);
    case Stop::hang_up:
      posix_interrupt::end_as(SIGHUP);
    case Stop::output_gone:
      posix_interrupt::end_as(SIGPIPE);
  }
}

}  // namespace chipferry
