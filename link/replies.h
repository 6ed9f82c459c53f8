// The programmer's short replies: the type query, the status frame that
// ends a chip operation, and the one command sequence that every chip
// operation shares.
//
// Every reply is read into Session::text and terminated right after its
// last character, so that whatever an earlier prompt left in the buffer
// never takes part in a comparison. Comparisons fold A-Z only.
//
// Nothing here ends the run itself: a silent programmer comes back as a
// result, and run_chip_operation turns it into Next::end().
#pragma once

#include <cstdint>

#include "app/session.h"

namespace chipferry {

/// Sends "R\r" and sets the transfer length from the programmer's current
/// ROM type. A type code that matches no short name leaves the length as
/// it was. False when no "[" came: the caller prints "No Response".
bool query_rom_type(Session& s);

enum class StatusFrame {
  pass,         ///< "PASS]"
  error,        ///< "ERROR"; the code frame that followed is in s.text
  invalid,      ///< five characters of neither kind, a frame cut short included
  no_response,  ///< no "[" came
};

/// Waits for "[" and reads the five-character status frame into s.text;
/// after "ERROR" reads the code frame at once, in its place.
StatusFrame read_status_frame(Session& s);

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
  /// The pause after "P\r" for a transfer length; nullptr: none at all.
  uint32_t (*pause_after_execute)(int32_t transfer_length);
  const char* failure_message;  ///< for the code frames " #10]" to " #17]"
  const ExtraCode* extra_code;  ///< nullptr: none
  int status_frames;            ///< "PASS]" frames in a row that make success
  ClosingWait closing_wait;
};

/// Runs `op` from its first command to its outcome and says where the run
/// goes next: the menu, the menu after the command prompt, or the end with
/// exit code 6 or 7 once its message is printed.
Next run_chip_operation(Session& s, const ChipOperation& op);

}  // namespace chipferry
