// The programmer's short replies on the wire: the type code that answers
// the type query, and the status frame that ends a chip operation.
//
// Every reply is read into Session::text and terminated right after its
// last character, so that whatever an earlier prompt left in the buffer
// never takes part in a comparison. A byte that does not arrive reads as
// NUL, so a reply cut short compares unequal to every expected text.
// Comparisons fold A-Z only.
#pragma once

#include "session/session.h"

namespace chipferry {

/// Sends the type query and reads the four-character type code into s.text, with
/// the '0's the programmer pads it with in front taken off. False when no
/// "[" came.
bool read_type_code(Session& s);

enum class StatusFrame {
  pass,         ///< "PASS]"
  error,        ///< "ERROR"; the code frame that followed is in s.text
  invalid,      ///< five characters of neither kind, a frame cut short included
  no_response,  ///< no "[" came, or the device went away
};

/// Waits for "[" and reads the five-character status frame into s.text;
/// after "ERROR" reads the code frame at once, in its place.
StatusFrame read_status_frame(Session& s);

}  // namespace chipferry
