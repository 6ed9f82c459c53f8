#include "transfer/image_file.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

namespace chipferry {
namespace {

// A raw image is a capacity long, a text image anything up to the limit;
// a device without a size says 0 and is never read.
bool readable_size(uint64_t size) { return size > 0 && size <= kTextImageFileLimit; }

// "a 2764", "an MBM2764", "an 8 KiB chip": the chip as the note names it.
std::string chip_words(const RomType* chip, int32_t length) {
  if (chip == nullptr) {
    return (length == 8192 ? "an " : "a ") + std::to_string(length / 1024) + " KiB chip";
  }
  // The letters and digits whose names begin with a vowel's sound.
  const bool vowel = std::strchr("AEFHILMNORSX8", chip->full_name[0]) != nullptr;
  return (vowel ? "an " : "a ") + std::string(chip->full_name);
}

// What was meant for a text image: text throughout, a DOS end of file
// allowed. A binary image may begin with ':' too, and is then no mistake.
bool meant_as_text(std::span<const uint8_t> data) {
  return std::all_of(data.begin(), data.end(), [](uint8_t c) {
    return (c >= 0x20 && c < 0x7F) || c == '\t' || c == '\r' || c == '\n' || c == 0x1A;
  });
}

// Why a file meant as a text image is not one: its first record.
std::optional<TextImageError> not_text_after_all(std::span<const uint8_t> data) {
  return meant_as_text(data) ? first_record_error(data) : std::nullopt;
}

ImageFile refused(ImageRefusal refusal, std::string reason) {
  ImageFile file;
  file.refusal = refusal;
  file.reason = std::move(reason);
  return file;
}

// A raw image of no chip's size. Said with what is wrong with its first
// record when it was meant as a text image, which is the likelier mistake.
ImageFile wrong_size(const std::string& name, std::span<const uint8_t> data, uint64_t size) {
  if (std::optional<TextImageError> error = not_text_after_all(data)) {
    return refused(ImageRefusal::unsupported_size,
                   text_image_message(name, *error) + "; as a raw image, its " +
                       std::to_string(size) + " bytes are no chip's size");
  }
  std::string reason = name + " holds " + std::to_string(size) +
                       " bytes; a raw image holds exactly 2, 4, 8, 16, 32 or 64 KiB";
  if (size > kTextImageFileLimit) reason += ", a text image at most 4 MiB";
  return refused(ImageRefusal::unsupported_size, std::move(reason));
}

}  // namespace

ImageFile read_image_file(const std::string& name) {
  FileContents contents = read_file(name.c_str(), readable_size);
  if (contents.result == FileRead::cannot_read) {
    return refused(ImageRefusal::cannot_read, "cannot read " + name + ": " + contents.reason);
  }
  if (contents.result == FileRead::size_refused) return wrong_size(name, {}, contents.size);

  ImageFile file;
  file.text = read_text_image(contents.data);
  if (file.text.error) {
    return refused(ImageRefusal::cannot_read, text_image_message(name, *file.text.error));
  }
  if (!file.is_text()) {
    if (!is_capacity(contents.size)) return wrong_size(name, contents.data, contents.size);
    if (std::optional<TextImageError> error = not_text_after_all(contents.data)) {
      file.reason = text_image_message(name, *error) + "; the file is loaded as raw data";
    }
    file.raw = std::move(contents.data);
  }
  file.refusal = ImageRefusal::none;
  return file;
}

PlacedImage place_image(const std::string& name, const ImageFile& file, const RomType* chip) {
  if (!file.is_text()) return {true, file.raw, {}};
  const int32_t length =
      chip != nullptr ? capacity_of(chip->size_class) : smallest_length(file.text);
  Placement placement = place_text_image(file.text, length);
  if (!placement.fits) return {false, {}, text_image_message(name, placement.refusal)};
  std::string note;
  if (placement.moved()) note = window_note(name, chip_words(chip, length), placement);
  return {true, std::move(placement.block), std::move(note)};
}

FileSaved save_image_file(const std::string& name, std::span<const uint8_t> block) {
  const SaveFormat format = save_format_for(name);
  if (format == SaveFormat::raw) return replace_file(name.c_str(), block.data(), block.size());
  const std::string text = write_text_image(block, format, text_line_end());
  return replace_file(name.c_str(), reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

}  // namespace chipferry
