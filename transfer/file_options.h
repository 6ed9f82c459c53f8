// Menu options 1 and 2: an image file into the device buffer, and the
// device buffer into an image file, with the file-name prompt they share.
#pragma once

#include "session/session.h"

namespace chipferry {

Next file_to_buffer(Session& s);
Next buffer_to_file(Session& s);

}  // namespace chipferry
