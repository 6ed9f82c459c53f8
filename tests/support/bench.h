// The whole program in-process: the simulated programmer as the serial
// device, a scripted console and a virtual clock. A test sets the scene,
// calls run(), and asserts the exit code, stdout, the wire and the pauses.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "session/session.h"
#include "sim/programmer.h"
#include "sim/sim_serial.h"
#include "sim/virtual_clock.h"
#include "tests/support/scripted_console.h"

namespace chipferry::test {

/// The banner and menu as the program prints them.
extern const char kBanner[];
extern const char kMenu[];

struct Bench {
  Bench();

  /// Runs the program with `stdin_text` as standard input; the exit code.
  int run(const std::string& stdin_text);

  /// The session with its port opened as the program opens it, for a test
  /// that calls one routine of the program on its own.
  Session& opened();

  /// Bytes the program wrote to the port.
  std::string wire() const { return serial.written(); }
  /// Standard output after the banner.
  std::string out_after_banner() const;

  sim::VirtualClock clock;
  sim::Programmer programmer;
  sim::SimSerial serial{programmer, clock};
  ScriptedConsole console{clock};
  std::unique_ptr<Session> session;
};

/// The bytes of the wake-up: ESC, DC1 and the start-up command.
std::string wake_up_bytes();
/// The bytes of the release at the end of the run.
std::string release_bytes();

}  // namespace chipferry::test
