// Menu options 1 and 2: an image file into the device buffer, and the
// device buffer into an image file, with the file-name prompt they share.
#pragma once

#include "app/session.h"

namespace chipferry {

enum class NameLine {
  given,     ///< a line with something on it (two quotes give an empty name)
  empty,     ///< the line had nothing on it
  too_long,  ///< more than 255 characters; `name` is what was kept
  ended,     ///< standard input has ended; `name` is empty
};

struct FileName {
  NameLine line;
  const char* name;  ///< in the session's text buffer
};

/// Prints "Enter Filename", drops the rest of the menu line, and reads one
/// line as the file name. A name in double quotes loses them and whatever
/// follows the closing one.
FileName read_file_name(Session& s);

Next file_to_buffer(Session& s);
Next buffer_to_file(Session& s);

}  // namespace chipferry
