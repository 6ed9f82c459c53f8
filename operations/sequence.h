// The one command sequence that every chip operation shares, and the
// record through which each operation supplies its own values.
//
// Opening (the type query and its prompt wait, when the operation uses
// it), the confirmation (when it has one), the operation command, the
// execute command and its pause, one or two status frames, and the
// outcome: the closing wait after "PASS]", or the code frame table after
// "ERROR".
#pragma once

#include <cstdint>

#include "session/session.h"

namespace chipferry {

/// Which wait follows the last "PASS]".
enum class ClosingWait { bracket, command_prompt };

/// A word the user must type before the operation command goes out.
struct Confirmation {
  const char* prompt;
  const char* word;
};

/// One more code frame with a message of its own.
struct ExtraCode {
  const char* frame;
  const char* message;
};

/// What makes one chip operation different from the others; everything
/// else is run_chip_operation's.
struct ChipOperation {
  bool uses_type_query;
  const Confirmation* confirmation;  ///< nullptr: none
  const char* command;               ///< the operation command, CR included
  /// The pause after the execute command for a transfer length; nullptr:
  /// none at all.
  uint32_t (*pause_after_execute)(int32_t transfer_length);
  /// What the status line calls the operation during that pause; nullptr
  /// without one.
  const char* activity;
  const char* failure_message;  ///< for the code frames " #10]" to " #17]"
  const ExtraCode* extra_code;  ///< nullptr: none
  int status_frames;            ///< "PASS]" frames in a row that make success
  ClosingWait closing_wait;
  /// Fills the device buffer from the chip: the image loaded is gone.
  bool fills_device_buffer;
  /// Burns the device buffer into the chip: an image loaded in this run
  /// that is shorter than the chip is named before the confirmation.
  bool burns_device_buffer;
};

/// Whether the word of an operation that has one is still to be asked.
enum class Confirmed : uint8_t {
  not_yet,          ///< the menu: the user types it
  by_command_line,  ///< a step of the command line, which is the confirmation
};

/// Runs `op` from its first command to its outcome and says where the run
/// goes next: the menu, the menu after the command prompt (with
/// kExitChipOperation when the programmer reported that the operation
/// failed), or the end with exit code 6 or 7 once its message is printed.
Next run_chip_operation(Session& s, const ChipOperation& op,
                        Confirmed confirmed = Confirmed::not_yet);

}  // namespace chipferry
