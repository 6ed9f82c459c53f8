// Image files as the program loads and saves them: raw images, Intel HEX
// and S-records, through the image-files seam.
//
// Loading comes in two steps, because a text image's length is the chip's,
// known only once the programmer has been asked for its type, while
// nothing may be sent for a file that is refused:
//
//   ImageFile file = read_image_file(name);      // before anything is sent
//   if (file.refusal != ImageRefusal::none)  -> its message, file.reason
//   PlacedImage placed = place_image(name, file, chip);  // a text image:
//   if (!placed.fits)                        -> "Unsupported file size"
//   placed.block                             -> the bytes to send
//
// Every `reason`, `words` and warning is the text of one `chipferry: `
// line, naming the file.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "catalogue/catalogue.h"
#include "platform/files.h"
#include "transfer/text_image.h"

namespace chipferry {

/// Why a file is no image, as the user is told on standard output.
enum class ImageRefusal : uint8_t {
  none,
  cannot_read,       ///< "Can't read file %s": unreadable, or a malformed text image
  unsupported_size,  ///< "Unsupported file size": a raw image of no chip's size
};

/// A file as read_image_file() found it.
struct ImageFile {
  ImageRefusal refusal = ImageRefusal::cannot_read;
  /// Set for a refused file. For an accepted one, a warning, or empty: a
  /// text file that begins like a text image but is taken as raw data.
  std::string reason;
  /// A text image's data; format raw when the file is a raw image.
  TextImage text;
  /// A raw image: the whole file, exactly one capacity long.
  std::vector<uint8_t> raw;

  bool is_text() const { return text.format != ImageFormat::raw; }
};

/// Reads and decodes the file `name` (a whole name: neither cut nor
/// holding a NUL byte). Nothing is placed yet.
ImageFile read_image_file(const std::string& name);

/// Where an accepted image lies in a block of `length` bytes.
struct PlacedImage {
  bool fits = false;
  std::vector<uint8_t> block;  ///< the whole block, FF where the file gives no byte
  /// When it fits: the note that the data moved to 0000, or empty. When it
  /// does not: why.
  std::string words;
};

/// Places an accepted image in the block it takes: a raw image as it is; a
/// text image in a block of the size of `chip` (the programmer's type), or,
/// when the type is unknown (nullptr), of the smallest capacity one of
/// whose windows holds all its data. `chip` also names the chip in the note.
PlacedImage place_image(const std::string& name, const ImageFile& file, const RomType* chip);

/// Saves `block` as the file `name`, in the format its name asks for (raw,
/// Intel HEX or S-record), through replace_file().
FileSaved save_image_file(const std::string& name, std::span<const uint8_t> block);

}  // namespace chipferry
