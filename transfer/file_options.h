// Menu options 1 and 2: an image file into the device buffer, and the
// device buffer into an image file, with the file-name prompt they share;
// and the same two as steps of a command line, which names the file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "catalogue/catalogue.h"
#include "session/session.h"

namespace chipferry {

Next file_to_buffer(Session& s);
Next buffer_to_file(Session& s);

/// Option 1 for the file `name`. A file it refuses ends the run with
/// kExitFile, its message printed.
Next load_image_file(Session& s, const std::string& name);
/// Option 2 into the file `name`. A file that cannot be written ends the
/// run with kExitFile, its message printed.
Next save_device_buffer(Session& s, const std::string& name);

/// How option 2's exchange went: the programmer's type (nullptr: none
/// known) and the block of its length in the host buffer, its checksum
/// confirmed.
struct Fetched {
  Next next;
  int32_t length = 0;
  const RomType* type = nullptr;
};

/// Option 2 up to the file name: the type query, the download and the
/// checksum query.
Fetched fetch_device_buffer(Session& s);

/// The file `name` read as option 1 reads it and placed for `chip`
/// (nullptr: not known), the notes on standard error as option 1 gives
/// them: a raw image as it is, a text image in a block of the chip's size
/// with FF where the file gives no byte. Nothing, once its message is
/// printed, when option 1 would refuse it.
std::optional<std::vector<uint8_t>> image_for_chip(Session& s, const std::string& name,
                                                   const RomType* chip);

/// What option 1 tells of a file it refuses: its line on standard output,
/// and the reason, a line for standard error.
struct FileRefusal {
  std::string message;
  std::string reason;
};

/// Reads and decodes the file `name` as option 1 does, placing nothing:
/// why option 1 would refuse it, or nothing when it would take it. Whether
/// a text image fits the chip is known only once the chip is.
std::optional<FileRefusal> image_file_refusal(const std::string& name);

}  // namespace chipferry
