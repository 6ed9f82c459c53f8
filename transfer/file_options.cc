#include "transfer/file_options.h"

#include <cstdint>
#include <cstring>
#include <string>
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
// line as the file name; says how the line was read (empty: it had nothing
// on it; two quotes are not an empty line, but an empty name). A name in
// double quotes loses them and whatever follows the closing one.
Typed read_file_name(Session& s) {
  print(s, "Enter Filename\n");
  discard_pending_input(s);
  Typed name = read_line(s);
  if (name.text.starts_with('"')) {
    const size_t closing = name.text.find('"', 1);
    name.text = name.text.substr(1, closing == std::string::npos ? closing : closing - 1);
  }
  return name;
}

// A name the files may be looked for by: the whole of what was typed. A
// line cut down to fit could name some other file, and so could one cut
// at a NUL byte, where the system's calls end a name.
bool whole_name(const Typed& name) {
  return name.result != ReadResult::too_long && name.text.find('\0') == std::string::npos;
}

}  // namespace

Next file_to_buffer(Session& s) {
  LoadedImage load;
  for (;;) {
    const Typed name = read_file_name(s);
    if (name.result == ReadResult::empty || name.result == ReadResult::ended) {
      discard_pending_input(s);
      return Next::menu();
    }
    load = whole_name(name) ? load_image(s, name.text.c_str()) : LoadedImage{};
    if (load.read == FileRead::ok) break;
    if (load.read == FileRead::cannot_read) {
      print(s, "Can't read file %s\n", name.text.c_str());
    } else {
      print(s, "Unsupported file size\n");
    }
  }

  const int32_t length = load.length;
  s.transfer_length = length;
  // From the first byte on, the device buffer holds no image as a whole
  // until the checksum confirms the new one.
  s.loaded_image_length = 0;
  const Sent sent = send_block(s, length);
  if (!sent.next.carries_on()) return sent.next;
  if (Next next = check_block(s, length, sent.sum); !next.carries_on()) return next;
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
    const Typed name = read_file_name(s);
    if (name.result == ReadResult::ended) {
      print(s, "Buffer not saved\n");
      return Next::end(kExitNotSaved);
    }
    if (whole_name(name) &&
        replace_file(name.text.c_str(), s.host_buffer.data(), static_cast<size_t>(length))) {
      break;
    }
    print(s, "Can't write file %s\n", name.text.c_str());
  }
  discard_pending_input(s);
  return Next::menu();
}

}  // namespace chipferry
