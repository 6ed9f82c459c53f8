// Menu options 1 and 2: an image file into the device buffer, and the
// device buffer into an image file, with the file-name prompt they share.
#pragma once

#include "session/console_io.h"
#include "session/session.h"

namespace chipferry {

/// Prints "Enter Filename", drops the rest of the menu line, and reads one
/// line as the file name into s.text; says how the line was read (empty: it
/// had nothing on it; two quotes are not an empty line, but an empty name).
/// A name in double quotes loses them and whatever follows the closing one.
ReadResult read_file_name(Session& s);

Next file_to_buffer(Session& s);
Next buffer_to_file(Session& s);

}  // namespace chipferry
