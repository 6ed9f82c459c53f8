// The command line: --help, --version, or steps done in the order given,
// each by the code of its menu option, with no menu shown and no key read.
//
// Everything the steps will need from outside is checked before the port
// is opened: the options, the type names, and every file that --load and
// --verify will read (read and decoded; whether a text image fits the chip
// is known only when its step runs). A run that fails there has touched
// nothing.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "catalogue/catalogue.h"
#include "platform/console.h"
#include "session/session.h"

namespace chipferry {

struct StepOption;

/// One step of the command line.
struct Step {
  const StepOption* option;
  std::string value;              ///< what the option takes: a file, a type's name
  const RomType* type = nullptr;  ///< --type: the type named
};

/// What the command line asks for.
struct CommandLine {
  /// Set when the run is over before the port is opened: 0 for --help and
  /// --version, kExitUsage or kExitFile after a check failed (its message
  /// printed).
  std::optional<int> exit_code;
  std::vector<Step> steps;  ///< none: the menu
};

/// Reads the command line and checks everything its steps will need.
/// --help names `com1_default`, the device COM1 stands for without
/// CHIPFERRY_COM1.
CommandLine read_command_line(int argc, const char* const* argv, Console& console,
                              const char* com1_default);

/// Runs `step` as its menu option runs: where the run goes from there.
Next run_step(Session& s, const Step& step);

}  // namespace chipferry
