// The three backends that connect the program to the machine it runs on.
// Each platform provides make_backends() in its own file (backends-posix.cc,
// backends-win32.cc); the build picks one, so main() stays the same
// everywhere. The serial port on another machine is no system's own: main
// hands in how it is made (remote/), and make_backends() chooses it where
// CHIPFERRY_COM1 names no local device.
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

/// Makes the serial device for `device`, what COM1 stands for, when it is
/// not a local device's name (an rfc2217:// URL); nothing for a local
/// device. The device times its waits on `clock`, the Backends' own, but
/// not its own end: the two may go in either order.
using RemoteSerial = std::unique_ptr<SerialDevice> (*)(const std::string& device, Clock& clock);

/// The machine's backends, with `remote`'s serial device when it makes
/// one. Also installs what takes note of the signals (on Windows, the
/// console's events) that ask the run to end; the console reports them
/// (Console::stop_requested).
Backends make_backends(RemoteSerial remote);

/// Ends the process as `stop` asks once the run has released the port:
/// on Linux with the signal itself, restored to its default action, so
/// that the exit status is the signal's (SIGPIPE's for standard output
/// gone); on Windows with the exit code a Ctrl+C gives
/// (STATUS_CONTROL_C_EXIT), and 141 for standard output gone. Returns only
/// for Stop::none.
void end_as(Stop stop);

}  // namespace chipferry
