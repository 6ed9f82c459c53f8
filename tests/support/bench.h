// The whole program in-process: the simulated programmer as the serial
// device, a scripted console and a virtual clock. A test sets the scene,
// calls run(), and asserts the exit code, stdout, the wire and the pauses.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "session/session.h"
#include "sim/programmer.h"
#include "tests/support/scripted_console.h"
#include "tests/support/sim_serial.h"
#include "tests/support/temp_dir.h"
#include "tests/support/virtual_clock.h"
#include "tests/support/wire.h"

namespace chipferry::test {

/// The whole banner, its credits line too, as the program prints it.
const std::string kBanner =
    kBannerStart + "Written from the programmer's documented exchanges; no warranty.\n\n";

struct Bench {
  Bench();

  /// Runs the program with `stdin_text` as standard input; the exit code.
  int run(const std::string& stdin_text);
  /// Runs the program as `chipferry ARGS...` runs, standard input empty:
  /// the command line read and checked, then its steps. The exit code.
  int run_args(const std::vector<std::string>& args);

  /// The session with its port opened as the program opens it, for a test
  /// that calls one routine of the program on its own.
  Session& opened();

  /// Bytes the program wrote to the port.
  std::string wire() const { return serial.written(); }
  /// Standard output after the banner.
  std::string out_after_banner() const;

  VirtualClock clock;
  sim::Programmer programmer;
  SimSerial serial{programmer, clock};
  ScriptedConsole console{clock};
  std::unique_ptr<Session> session;
};

/// For TEST_F, under an alias named after the suite: the test's bench is
/// `b`. A test that needs a fresh bench for each case makes its own.
struct WithBench : ::testing::Test {
  Bench b;
};

/// The same with a fresh folder for image files, `dir`.
struct WithBenchAndFolder : WithBench {
  TempDir dir;
};

using Sleeps = std::vector<uint32_t>;

/// The pauses of a whole run: the wake-up's 50 ms between ESC and DC1,
/// then `between`, then the release's two of 100 ms.
inline Sleeps run_pauses(const Sleeps& between = {}) {
  Sleeps all{50};
  all.insert(all.end(), between.begin(), between.end());
  all.insert(all.end(), {100, 100});
  return all;
}

}  // namespace chipferry::test
