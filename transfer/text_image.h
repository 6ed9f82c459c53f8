// Intel HEX and Motorola S-record image files: telling them from raw images
// by their content, reading the data they give, placing it in a block of
// one transfer length, and writing a block as either text.
//
// Plain code: bytes in, values and strings out. Nothing here opens a file,
// prints or talks to the programmer, so every caller (loading a file,
// saving one, comparing a chip with one) reads the file first, then asks
// here, then says what it must.
//
// Reading, in two steps, because the block's length may be known only once
// the programmer has been asked for its type:
//
//   TextImage image = read_text_image(file_bytes);     // before the port
//   if (image.format == ImageFormat::raw)  -> the raw image path, as ever
//   if (image.error)                       -> refused: "Can't read file"
//   Placement p = place_text_image(image, length);      // once L is known
//   if (!p.fits)                           -> refused: "Unsupported file size"
//   if (p.moved())                         -> say window_note(...)
//   p.block                                -> the L bytes to send or compare
//
// Every refusal comes as words for one `chipferry: ` line:
// text_image_message() joins them to the file's name ("fw.hex:12: checksum
// 3C, the record sums to 3D"; "fw.hex holds 0000-07FF and 8000-87FF: no 2
// KiB window holds both").
//
// Saving: save_format_for(name) says what the name asks for;
// write_text_image() gives the whole file's text.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace chipferry {

/// What an image file holds, judged by its content alone.
enum class ImageFormat : uint8_t { raw, intel_hex, s_record };

/// The largest file a caller should read as a text image: 64 KiB written
/// one byte a record as S3 lines ending in CR LF (the most any tool writes
/// for a whole chip) is 1.2 MB; what is larger is no image of ours. Reading
/// a file of this size takes at most about 40 MB (one byte a record, at
/// every other address). A caller that reads files of both kinds takes
/// sizes up to this, but never 0: a device without a size (/dev/zero, NUL)
/// says 0 and must stay unread.
constexpr uint64_t kTextImageFileLimit = uint64_t{4} << 20;

/// Why a text image is refused. `line` is the file's line (from 1) the
/// words are about, or 0 when they are about the file as a whole.
struct TextImageError {
  int32_t line = 0;
  std::string what;
};

/// Bytes the file gives at consecutive addresses from `address` on.
struct DataRun {
  uint32_t address = 0;
  std::vector<uint8_t> bytes;
};

/// A file as read_text_image found it.
struct TextImage {
  /// raw: not a text image; nothing was read, the file is used as it is.
  ImageFormat format = ImageFormat::raw;
  /// Sorted by address, never touching or overlapping, each one not empty.
  /// At least one when the text image was accepted.
  std::vector<DataRun> runs;
  /// Set when a text image is refused; `runs` is then empty.
  std::optional<TextImageError> error;
};

/// Whether `file` is a text image, and which: its first character that is
/// not a blank or a line end is ':' (Intel HEX) or 'S' and a digit
/// (S-record), and the record that begins there is well formed, checksum
/// included. Such a file is a text image whatever follows: anything but
/// records, blanks and line ends before its end record (a stray binary
/// byte too) refuses it in read_text_image, with its line, so that it is
/// never taken for raw data. Everything else is raw, whatever its name.
ImageFormat detect_image_format(std::span<const uint8_t> file);

/// For a file that begins as a text image does (':', or 'S' and a digit)
/// but that detect_image_format() calls raw: what is wrong with its first
/// record, with its line. Nothing for any other file.
std::optional<TextImageError> first_record_error(std::span<const uint8_t> file);

/// Reads a whole text image: Intel HEX records 00 to 05 (with extended
/// segment and linear addresses), S-records S0 to S9 except the unused S4.
/// Every record's byte count and checksum must be right; hex digits in
/// either case, LF or CR LF, blank lines and blanks around a record are
/// taken. Nothing after the end record is read. An S-record file may end
/// with its S5 or S6 count instead, as srec_cat writes one without a start
/// address. Refused: any line that is not a well-formed record, a count
/// record that disagrees with the data records before it, one address given
/// two different values, data past address FFFFFFFF, a file without an end
/// (cut short), and a file without data. Memory stays under ten times the
/// file's size.
TextImage read_text_image(std::span<const uint8_t> file);

/// Where an accepted image's data goes in a block of `length` bytes (one
/// of the six capacities): data that lies in one window of `length` bytes,
/// aligned to `length`, is placed with the window's start at 0000; data
/// all below `length` therefore stays where it is.
struct Placement {
  bool fits = false;
  uint32_t low = 0;   ///< the lowest address the file gives
  uint32_t high = 0;  ///< the highest address the file gives
  uint32_t base = 0;  ///< the window's start, taken from every address
  /// `length` bytes, 0xFF (erased) where the file gives nothing; empty
  /// when the data does not fit.
  std::vector<uint8_t> block;
  /// When it does not fit, what to say (line 0).
  TextImageError refusal;

  /// The data moved: the caller says so with window_note().
  bool moved() const { return fits && base != 0; }
};

Placement place_text_image(const TextImage& image, int32_t length);

/// For a programmer whose type is unknown: the smallest capacity in one of
/// whose aligned windows all the data lies (data at E000-FFFF gives 8192,
/// and is then placed at 0000; data past 64 KiB within one such window
/// gives that window's size). 65536 when no window of 64 KiB holds it all;
/// place_text_image then refuses it.
int32_t smallest_length(const TextImage& image);

/// "fw.hex:12: checksum 3C, the record sums to 3D", or, for line 0,
/// "fw.hex ends without an end record: is it cut short?".
std::string text_image_message(std::string_view file_name, const TextImageError& error);

/// "fw.hex holds E000-FFFF; a 2764 sees it as 0000-1FFF", where `chip` is
/// "a 2764" or whatever names the chip, with its article.
std::string window_note(std::string_view file_name, std::string_view chip,
                        const Placement& placement);

/// What a name asks for when a block is saved, by its extension in any
/// case: .hex .ihx .ihex Intel HEX; .s19 .srec .mot S1 records, .s28 S2,
/// .s37 S3; anything else a raw image.
enum class SaveFormat : uint8_t { raw, intel_hex, s19, s28, s37 };

SaveFormat save_format_for(std::string_view file_name);

/// The whole text of a block (at most 64 KiB, from address 0000) as
/// `format` (not raw): 16 data bytes a record, each line ending in
/// `line_end` ("\n" on Linux, "\r\n" on Windows). S-record files begin
/// with an S0 header holding "chipferry", and end with the end record that
/// matches their data records (S9, S8 or S7, start address 0); Intel HEX
/// ends with ":00000001FF".
std::string write_text_image(std::span<const uint8_t> block, SaveFormat format,
                             std::string_view line_end);

}  // namespace chipferry
