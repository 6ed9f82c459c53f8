#include "transfer/file_options.h"

#include <cstdint>
#include <cstring>
#include <vector>

#include "catalogue/catalogue.h"
#include "catalogue/type_query.h"
#include "link/port.h"
#include "platform/files.h"
#include "session/console_io.h"
#include "transfer/block.h"

namespace chipferry {
namespace {

bool is_capacity(uint64_t size) {
  for (uint8_t k = 0; k < kSizeClassCount; ++k) {
    if (size == static_cast<uint64_t>(capacity_of(k))) return true;
  }
  return false;
}

// How a load went, and the length of the image it put into the host
// buffer.
struct LoadedImage {
  FileRead read = FileRead::cannot_read;
  int32_t length = 0;
};

// Reads the whole image before the host buffer changes: it is only touched
// once every byte is in, so a file that fails or changes size half-way
// leaves it as it was.
LoadedImage load_image(Session& s, const char* name) {
  std::vector<uint8_t> image;
  const FileRead read = read_file(name, is_capacity, image);
  if (read != FileRead::ok) return {read, 0};
  std::memcpy(s.host_buffer.data(), image.data(), image.size());
  return {read, static_cast<int32_t>(image.size())};
}

// Prints "Enter Filename", drops the rest of the menu line, and reads one
// line as the file name into s.text; says how the line was read (empty: it
// had nothing on it; two quotes are not an empty line, but an empty name).
// A name in double quotes loses them and whatever follows the closing one.
ReadResult read_file_name(Session& s) {
  print(s, "Enter Filename\n");
  discard_pending_input(s);
  const ReadResult read = read_line(s, s.text, kTextSize);
  // "path with blanks" loses its quotes and whatever follows the second.
  if (s.text[0] == '"') {
    if (char* closing = std::strchr(s.text + 1, '"')) *closing = '\0';
    std::memmove(s.text, s.text + 1, std::strlen(s.text + 1) + 1);
  }
  return read;
}

}  // namespace

Next file_to_buffer(Session& s) {
  LoadedImage load;
  for (;;) {
    const ReadResult read = read_file_name(s);
    if (read == ReadResult::empty || read == ReadResult::ended) {
      discard_pending_input(s);
      return Next::menu();
    }
    // A cut-down name could open some other file.
    load = read == ReadResult::too_long ? LoadedImage{} : load_image(s, s.text);
    if (load.read == FileRead::ok) break;
    if (load.read == FileRead::cannot_read) {
      print(s, "Can't read file %s\n", s.text);
    } else {
      print(s, "Unsupported file size\n");
    }
  }

  const int32_t length = load.length;
  s.transfer_length = length;
  uint16_t sum = 0;
  // From the first byte on, the device buffer holds no image as a whole
  // until the checksum confirms the new one.
  s.loaded_image_length = 0;
  if (Next next = send_block(s, length, sum); !next.carries_on()) return next;
  if (Next next = check_block(s, length, sum); !next.carries_on()) return next;
  s.loaded_image_length = length;
  return Next::menu();
}

Next buffer_to_file(Session& s) {
  const QueriedType queried = query_rom_type(s);
  if (!queried.next.carries_on()) return queried.next;
  const int32_t length = queried.length_or(s.transfer_length);
  s.transfer_length = length;
  if (Next next = expect_prompt(s); !next.carries_on()) return next;
  if (Next next = receive_block(s, length); !next.carries_on()) return next;
  if (Next next = check_block(s, length, sum_block(s, length)); !next.carries_on()) return next;

  // The image exists only in memory until it is saved: keep asking.
  for (;;) {
    const ReadResult read = read_file_name(s);
    if (read == ReadResult::ended) {
      print(s, "Buffer not saved\n");
      return Next::end(kExitNotSaved);
    }
    if (read != ReadResult::too_long &&
        replace_file(s.text, s.host_buffer.data(), static_cast<size_t>(length))) {
      break;
    }
    print(s, "Can't write file %s\n", s.text);
  }
  discard_pending_input(s);
  return Next::menu();
}

}  // namespace chipferry
