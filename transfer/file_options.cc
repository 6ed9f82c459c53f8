#include "transfer/file_options.h"

#include <cstring>
#include <utility>

#include "catalogue/type_query.h"
#include "link/port.h"
#include "session/console_io.h"
#include "transfer/block.h"
#include "transfer/image_file.h"

namespace chipferry {
namespace {

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

// A name from the command line: whole, whatever its length.
Typed given_name(const std::string& name) { return {ReadResult::ok, name}; }

// Why the files may not be looked for by this name, or empty: only the
// whole of what was typed names a file. A line cut down to fit could name
// some other file, and so could one cut at a NUL byte, where the system's
// calls end a name.
std::string unusable_name(const Typed& name) {
  if (name.text.empty()) return "the name is empty";
  if (name.result == ReadResult::too_long) return "the name is longer than 255 characters";
  if (name.text.find('\0') != std::string::npos) return "the name holds a NUL byte";
  return {};
}

// "cannot read NAME: REASON", for standard error; a name cut to fit shows
// that it goes on.
std::string failure_line(const char* verb, const Typed& name, const std::string& reason) {
  std::string shown = name.text.empty() ? "a file" : name.text;
  if (name.result == ReadResult::too_long) shown += "...";
  return std::string("cannot ") + verb + " " + shown + ": " + reason;
}

// The file named, read and decoded as option 1 reads it. Refused: its
// refusal set, and `reason` the line for standard error.
ImageFile read_named_image(const Typed& name) {
  if (std::string why = unusable_name(name); !why.empty()) {
    ImageFile file;
    file.refusal = ImageRefusal::cannot_read;
    file.reason = failure_line("read", name, why);
    return file;
  }
  return read_image_file(name.text);
}

// What option 1 says on standard output of a file it refuses. A name is
// shown up to a NUL byte in it, as "%s" shows it; the line end stays.
std::string refusal_message(const Typed& name, const ImageFile& file) {
  if (file.refusal != ImageRefusal::cannot_read) return "Unsupported file size\n";
  return "Can't read file " + name.text.substr(0, name.text.find('\0')) + "\n";
}

// The file named as an image, once what it is warned of is said; nothing,
// once the user has been told why, when it is refused.
std::optional<ImageFile> image_named(Session& s, const Typed& name) {
  ImageFile file = read_named_image(name);
  if (file.refusal != ImageRefusal::none) {
    print(s, "%s", refusal_message(name, file).c_str());
    diagnose(s, file.reason);
    return std::nullopt;
  }
  if (!file.reason.empty()) diagnose(s, file.reason);
  return file;
}

// The image in a block for `chip`, the note said when its data moved;
// nothing, once "Unsupported file size" and why are said, when it fits no
// window of the chip.
std::optional<std::vector<uint8_t>> placed_for_chip(Session& s, const std::string& name,
                                                    const ImageFile& file, const RomType* chip) {
  PlacedImage placed = place_image(name, file, chip);
  if (!placed.fits) {
    print(s, "Unsupported file size\n");
    diagnose(s, placed.words);
    return std::nullopt;
  }
  if (!placed.words.empty()) diagnose(s, placed.words);
  return std::move(placed.block);
}

// How staging an image for the upload went: its length in the host buffer,
// or 0 when the file was refused (and the user told why).
struct Staged {
  Next next;
  int32_t length = 0;
};

// Reads the whole file before the host buffer changes: it is only touched
// once the image is complete, so a file that fails or changes size half-way
// leaves it as it was. A file refused sends nothing. A text image takes the
// programmer's chip size: its type is asked first, as for a download, and
// data that fits no window of it is refused then, with nothing more sent.
Staged stage_image(Session& s, const Typed& name) {
  const std::optional<ImageFile> file = image_named(s, name);
  if (!file) return {Next::carry_on()};
  const RomType* chip = nullptr;
  if (file->is_text()) {
    const QueriedType queried = query_rom_type(s);
    if (!queried.next.carries_on()) return {queried.next};
    if (Next next = expect_prompt(s); !next.carries_on()) return {next};
    chip = queried.type;
  }
  const std::optional<std::vector<uint8_t>> block = placed_for_chip(s, name.text, *file, chip);
  if (!block) return {Next::carry_on()};
  std::memcpy(s.host_buffer.data(), block->data(), block->size());
  return {Next::carry_on(), static_cast<int32_t>(block->size())};
}

// The staged image into the device buffer, confirmed by its checksum.
Next upload_image(Session& s, int32_t length) {
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

// Saves the block in the format the name asks for; false, with the user
// told why, when it cannot be saved.
bool save_block(Session& s, const Typed& name, int32_t length) {
  std::string why = unusable_name(name);
  if (why.empty()) {
    const FileSaved saved =
        save_image_file(name.text, {s.host_buffer.data(), static_cast<size_t>(length)});
    if (saved.ok) return true;
    why = saved.reason;
  }
  print(s, "Can't write file %s\n", name.text.c_str());
  diagnose(s, failure_line("write", name, why));
  return false;
}

}  // namespace

Next file_to_buffer(Session& s) {
  Staged staged;
  while (staged.length == 0) {
    const Typed name = read_file_name(s);
    if (name.result == ReadResult::empty || name.result == ReadResult::ended) {
      discard_pending_input(s);
      return Next::menu();
    }
    staged = stage_image(s, name);
    if (!staged.next.carries_on()) return staged.next;
  }
  return upload_image(s, staged.length);
}

Next load_image_file(Session& s, const std::string& name) {
  const Staged staged = stage_image(s, given_name(name));
  if (!staged.next.carries_on()) return staged.next;
  if (staged.length == 0) return Next::end(kExitFile);
  return upload_image(s, staged.length);
}

Fetched fetch_device_buffer(Session& s) {
  const QueriedType queried = query_rom_type(s);
  if (!queried.next.carries_on()) return {queried.next};
  const int32_t length = queried.length_or(s.transfer_length);
  s.transfer_length = length;
  if (Next next = expect_prompt(s); !next.carries_on()) return {next};
  if (Next next = receive_block(s, length); !next.carries_on()) return {next};
  if (Next next = check_block(s, length, sum_block(s, length)); !next.carries_on()) return {next};
  return {Next::carry_on(), length, queried.type};
}

Next buffer_to_file(Session& s) {
  const Fetched fetched = fetch_device_buffer(s);
  if (!fetched.next.carries_on()) return fetched.next;
  // The image exists only in memory until it is saved: keep asking.
  for (;;) {
    const Typed name = read_file_name(s);
    if (name.result == ReadResult::ended) {
      print(s, "Buffer not saved\n");
      return Next::end(kExitNotSaved);
    }
    if (save_block(s, name, fetched.length)) break;
  }
  discard_pending_input(s);
  return Next::menu();
}

Next save_device_buffer(Session& s, const std::string& name) {
  const Fetched fetched = fetch_device_buffer(s);
  if (!fetched.next.carries_on()) return fetched.next;
  if (!save_block(s, given_name(name), fetched.length)) return Next::end(kExitFile);
  discard_pending_input(s);
  return Next::menu();
}

std::optional<std::vector<uint8_t>> image_for_chip(Session& s, const std::string& name,
                                                   const RomType* chip) {
  const std::optional<ImageFile> file = image_named(s, given_name(name));
  if (!file) return std::nullopt;
  return placed_for_chip(s, name, *file, chip);
}

std::optional<FileRefusal> image_file_refusal(const std::string& name) {
  const Typed typed = given_name(name);
  const ImageFile file = read_named_image(typed);
  if (file.refusal == ImageRefusal::none) return std::nullopt;
  return FileRefusal{refusal_message(typed, file), file.reason};
}

}  // namespace chipferry
