#include "transfer/text_image.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <cstddef>
#include <iterator>
#include <utility>

#include "catalogue/catalogue.h"
#include "platform/printable.h"
#include "session/text.h"

namespace chipferry {
namespace {

constexpr uint8_t kErased = 0xFF;
constexpr uint64_t kLastAddress = 0xFFFFFFFF;

// ---- Characters and numbers ------------------------------------------------

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// What a text image may hold up to its end record.
bool is_text(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return (byte >= 0x20 && byte < 0x7F) || c == '\t' || c == '\r' || c == '\n';
}

std::string bytes_text(size_t count, const char* noun) {
  return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

std::string address_text(uint64_t address) { return hex(address, 4); }

std::string range_text(uint64_t low, uint64_t high) {
  return address_text(low) + "-" + address_text(high);
}

// A character of the file as a person can read it in a diagnostic line.
std::string character_text(char c) {
  if (static_cast<unsigned char>(c) > 0x20 && static_cast<unsigned char>(c) < 0x7F) {
    return std::string("'") + c + "'";
  }
  return "byte " + hex(static_cast<unsigned char>(c), 2);
}

// A CR is a blank here: the one before an LF is part of the line end.
size_t skip_blanks(std::string_view text, size_t at) {
  while (at < text.size() && (is_blank(text[at]) || text[at] == '\r')) ++at;
  return at;
}

// ---- Lines -----------------------------------------------------------------

struct Line {
  int32_t number = 0;
  std::string_view text;  ///< without its LF; the CR of a CR LF stays
};

// Splits the file at each LF.
class LineReader {
 public:
  explicit LineReader(std::span<const uint8_t> file)
      : file_(reinterpret_cast<const char*>(file.data()), file.size()) {}

  std::optional<Line> next() {
    if (at_ >= file_.size()) return std::nullopt;
    size_t end = file_.find('\n', at_);
    if (end == std::string_view::npos) end = file_.size();
    const Line line{++number_, file_.substr(at_, end - at_)};
    at_ = end + 1;
    return line;
  }

 private:
  std::string_view file_;
  size_t at_ = 0;
  int32_t number_ = 0;
};

bool is_blank_line(std::string_view text) { return skip_blanks(text, 0) == text.size(); }

// DOS tools end a text file with 0x1A: no more text comes after it.
bool is_dos_end(std::string_view text) {
  const size_t at = skip_blanks(text, 0);
  return at < text.size() && text[at] == '\x1A';
}

// The format whose record mark stands at `at`: ':' for Intel HEX, 'S' and
// a digit for an S-record; raw for anything else.
ImageFormat format_marked_at(std::string_view text, size_t at) {
  if (at < text.size() && text[at] == ':') return ImageFormat::intel_hex;
  if (at + 1 < text.size() && text[at] == 'S' && text[at + 1] >= '0' && text[at + 1] <= '9') {
    return ImageFormat::s_record;
  }
  return ImageFormat::raw;
}

// ---- One record ------------------------------------------------------------

// The longest record of either kind: an Intel HEX count, address, type,
// 255 data bytes and checksum.
constexpr size_t kLongestRecord = 1 + 2 + 1 + 255 + 1;

struct Record {
  bool intel = false;
  uint8_t type = 0;  ///< Intel: the type byte; S-record: the digit after 'S'
  bool is_end = false;
  std::array<uint8_t, kLongestRecord> bytes{};  ///< count first, checksum last
  size_t size = 0;                              ///< bytes decoded
  size_t text_end = 0;                          ///< in the line, just past the last hex digit
  std::string error;                            ///< empty: well formed

  /// The data field: what follows the address (S) or the type (Intel).
  std::span<const uint8_t> data(size_t address_bytes) const {
    const size_t first = intel ? 4 : 1 + address_bytes;
    return {bytes.data() + first, size - 1 - first};
  }
  uint32_t number_at(size_t first, size_t count) const {
    uint32_t value = 0;
    for (size_t k = first; k < first + count; ++k) value = value << 8 | bytes[k];
    return value;
  }
};

// Bytes of the address field of each S-record type; 0: S4, which is unused.
constexpr std::array<size_t, 10> kSAddressBytes = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};

bool is_s_data(uint8_t type) { return type >= 1 && type <= 3; }

// Intel HEX: how many data bytes each type other than data must hold.
constexpr std::array<size_t, 6> kIntelFieldBytes = {0, 0, 2, 4, 2, 4};

// The checksum of a record's bytes before it: Intel HEX the two's
// complement of their sum, S-records its one's complement.
unsigned record_checksum(std::span<const uint8_t> fields, bool intel) {
  unsigned sum = 0;
  for (uint8_t b : fields) sum += b;
  return (intel ? 0x100 - (sum & 0xFF) : ~sum) & 0xFF;
}

std::string checksum_error(const Record& r) {
  const unsigned wanted = record_checksum({r.bytes.data(), r.size - 1}, r.intel);
  const unsigned given = r.bytes[r.size - 1];
  if (given == wanted) return {};
  return "checksum " + hex(given, 2) + ", the record sums to " + hex(wanted, 2);
}

// What is wrong with a record whose digits are all read, in the order a
// person would look: the characters, the length, the checksum, the type.
std::string record_error(std::string_view line, const Record& r, size_t digits) {
  const size_t rest = skip_blanks(line, r.text_end);
  if (rest < line.size() && !r.is_end) {
    if (rest != r.text_end && hex_digit(line[rest]) >= 0) return "a blank inside the record";
    return character_text(line[rest]) + " is not a hex digit";
  }
  if (!r.intel && kSAddressBytes[r.type] == 0) return "record type S4 is not in use";
  if (digits % 2 != 0) return "the record has an odd number of hex digits";
  const size_t whole = digits / 2;
  const size_t shortest = r.intel ? 5 : 2 + kSAddressBytes[r.type];
  if (whole < shortest) {
    return "the record has " + std::to_string(digits) + " hex digits; the shortest has " +
           std::to_string(2 * shortest);
  }
  const size_t count = r.bytes[0];
  if (r.intel && count + 5 != whole) {
    return "byte count " + hex(count, 2) + ", but the record holds " +
           bytes_text(whole - 5, "data byte");
  }
  if (!r.intel && count + 1 != whole) {
    return "byte count " + hex(count, 2) + ", but the rest of the record is " +
           bytes_text(whole - 1, "byte");
  }
  if (std::string error = checksum_error(r); !error.empty()) return error;
  if (r.intel && r.type >= kIntelFieldBytes.size()) {
    return "record type " + hex(r.type, 2) + " is not Intel HEX";
  }
  if (r.intel && r.type != 0 && count != kIntelFieldBytes[r.type]) {
    return "record type " + hex(r.type, 2) + " holds " + bytes_text(count, "byte") + ", not " +
           std::to_string(kIntelFieldBytes[r.type]);
  }
  return {};
}

// One line as a record of `format`. Its type, and so whether it is the end
// record, is known as soon as it has been read, even when the record is
// not well formed.
Record read_record(std::string_view line, ImageFormat format) {
  Record r;
  r.intel = format == ImageFormat::intel_hex;
  const size_t mark = skip_blanks(line, 0);
  if (format_marked_at(line, mark) != format) {
    if (mark < line.size() && !is_text(line[mark])) {
      r.error = character_text(line[mark]) + " where a record should begin";
    } else {
      r.error = r.intel ? "the record does not begin with ':'"
                        : "the record does not begin with 'S' and a digit";
    }
    return r;
  }
  const size_t first = mark + (r.intel ? 1 : 2);
  size_t end = first;
  while (end < line.size() && hex_digit(line[end]) >= 0) ++end;
  r.text_end = end;
  r.size = std::min((end - first) / 2, r.bytes.size());
  for (size_t k = 0; k < r.size; ++k) {
    r.bytes[k] = static_cast<uint8_t>(hex_digit(line[first + 2 * k]) << 4 |
                                      hex_digit(line[first + 2 * k + 1]));
  }
  if (!r.intel) {
    r.type = static_cast<uint8_t>(line[mark + 1] - '0');
    r.is_end = r.type >= 7;
  } else if (r.size >= 4) {
    r.type = r.bytes[3];
    r.is_end = r.type == 1;
  }
  r.error = record_error(line, r, end - first);
  return r;
}

// ---- Detection -------------------------------------------------------------

ImageFormat format_by_first_character(std::string_view file) {
  size_t at = 0;
  while (at < file.size() && (is_blank(file[at]) || file[at] == '\r' || file[at] == '\n')) ++at;
  return format_marked_at(file, at);
}

std::string_view as_text(std::span<const uint8_t> file) {
  return {reinterpret_cast<const char*>(file.data()), file.size()};
}

// What is wrong with the first record of a file that begins as `format`
// does; nothing when it is well formed.
std::optional<TextImageError> first_record_fault(std::span<const uint8_t> file,
                                                 ImageFormat format) {
  LineReader lines(file);
  std::optional<Line> line = lines.next();
  while (line && is_blank_line(line->text)) line = lines.next();
  if (!line) return TextImageError{0, "holds no record"};
  std::string error = read_record(line->text, format).error;
  if (error.empty()) return std::nullopt;
  return TextImageError{line->number, std::move(error)};
}

// ---- The image as the records give it --------------------------------------

// The bytes one record gives: where they go, where they are kept, and the
// line that gave them, so that a clash between two lines can name both.
struct Piece {
  uint32_t address = 0;
  uint32_t size = 0;
  size_t kept_at = 0;  ///< in Gathered::kept
  int32_t line = 0;

  uint64_t end() const { return uint64_t{address} + size; }
  bool covers(uint64_t a) const { return a >= address && a < end(); }
};

// What the records of one file have given so far: about as much memory as
// the data, and a few words a record.
struct Gathered {
  std::vector<uint8_t> kept;
  std::vector<Piece> pieces;
  uint64_t base = 0;       ///< Intel HEX: from the last extended address record
  bool segmented = false;  ///< Intel HEX: that record was a segment (02)
  uint32_t data_records = 0;

  std::string add(uint64_t address, std::span<const uint8_t> data, int32_t line) {
    if (data.empty()) return {};
    if (address + data.size() - 1 > kLastAddress) return "the record runs past address FFFFFFFF";
    pieces.push_back(
        {static_cast<uint32_t>(address), static_cast<uint32_t>(data.size()), kept.size(), line});
    kept.insert(kept.end(), data.begin(), data.end());
    return {};
  }
  uint8_t byte_at(const Piece& piece, uint64_t a) const {
    return kept[piece.kept_at + (a - piece.address)];
  }
};

// An address in a segment wraps within its 64 KiB.
std::string take_intel_data(Gathered& g, const Record& r, int32_t line) {
  const std::span<const uint8_t> data = r.data(0);
  const uint32_t offset = r.number_at(1, 2);
  if (!g.segmented) return g.add(g.base + offset, data, line);
  const size_t before_wrap = std::min<size_t>(data.size(), 0x10000 - offset);
  std::string error = g.add(g.base + offset, data.first(before_wrap), line);
  if (error.empty()) error = g.add(g.base, data.subspan(before_wrap), line);
  return error;
}

std::string take_intel(Gathered& g, const Record& r, int32_t line) {
  switch (r.type) {
    case 0:
      return take_intel_data(g, r, line);
    case 2:
      g.base = uint64_t{r.number_at(4, 2)} << 4;
      g.segmented = true;
      return {};
    case 4:
      g.base = uint64_t{r.number_at(4, 2)} << 16;
      g.segmented = false;
      return {};
    default:  // the end, and start addresses, which a ROM has no use for
      return {};
  }
}

std::string take_s_record(Gathered& g, const Record& r, int32_t line) {
  const size_t address_bytes = kSAddressBytes[r.type];
  const uint32_t address = r.number_at(1, address_bytes);
  if (is_s_data(r.type)) {
    ++g.data_records;
    return g.add(address, r.data(address_bytes), line);
  }
  if ((r.type == 5 || r.type == 6) && address != g.data_records) {
    return "S" + std::to_string(r.type) + " counts " + std::to_string(address) + " data records; " +
           std::to_string(g.data_records) + " come before it";
  }
  return {};
}

TextImage refused(ImageFormat format, int32_t line, std::string what) {
  TextImage image;
  image.format = format;
  image.error = TextImageError{line, std::move(what)};
  return image;
}

// Piece `later` gives address `a` another value than an earlier piece did.
// Said at the line further down the file, the one a reader reaches second.
TextImageError clash(const Gathered& g, size_t later, uint64_t a) {
  const Piece& second = g.pieces[later];
  const Piece& first =
      *std::find_if(g.pieces.begin(), g.pieces.begin() + static_cast<std::ptrdiff_t>(later),
                    [a](const Piece& p) { return p.covers(a); });
  const bool in_order = first.line <= second.line;
  const Piece& here = in_order ? second : first;
  const Piece& there = in_order ? first : second;
  return {here.line, "address " + address_text(a) + " given twice: " + hex(g.byte_at(here, a), 2) +
                         " here, " + hex(g.byte_at(there, a), 2) + " on line " +
                         std::to_string(there.line)};
}

// The pieces in address order, joined into runs where they touch or
// overlap; an address given twice must be given the same value.
std::optional<TextImageError> settle(Gathered& g, std::vector<DataRun>& runs) {
  std::stable_sort(g.pieces.begin(), g.pieces.end(),
                   [](const Piece& x, const Piece& y) { return x.address < y.address; });
  for (size_t i = 0; i < g.pieces.size(); ++i) {
    const Piece& piece = g.pieces[i];
    const auto bytes = g.kept.begin() + static_cast<std::ptrdiff_t>(piece.kept_at);
    if (runs.empty() || runs.back().address + uint64_t{runs.back().bytes.size()} < piece.address) {
      runs.push_back({piece.address, {bytes, bytes + piece.size}});
      continue;
    }
    DataRun& run = runs.back();
    const uint64_t run_end = run.address + uint64_t{run.bytes.size()};
    for (uint64_t a = piece.address; a < std::min(run_end, piece.end()); ++a) {
      if (run.bytes[a - run.address] != g.byte_at(piece, a)) return clash(g, i, a);
    }
    if (piece.end() > run_end) {
      run.bytes.insert(run.bytes.end(),
                       bytes + static_cast<std::ptrdiff_t>(run_end - piece.address),
                       bytes + piece.size);
    }
  }
  return std::nullopt;
}

// ---- Placing ---------------------------------------------------------------

bool one_window(uint64_t low, uint64_t high, uint64_t length) {
  return low / length == high / length;
}

std::string window_words(int32_t length) { return std::to_string(length / 1024) + " KiB window"; }

// ---- Writing ---------------------------------------------------------------

// A record's bytes before its checksum.
struct Fields {
  std::array<uint8_t, 32> bytes{};
  size_t size = 0;

  void put(uint8_t b) { bytes[size++] = b; }
  void put_number(uint32_t value, size_t count) {
    for (size_t k = count; k-- > 0;) put(static_cast<uint8_t>(value >> (8 * k)));
  }
  void put_all(std::span<const uint8_t> data) {
    for (uint8_t b : data) put(b);
  }
};

void put_hex_byte(std::string& out, unsigned byte) { out += hex(byte & 0xFF); }

void put_record(std::string& out, std::string_view mark, const Fields& f, bool intel,
                std::string_view line_end) {
  out += mark;
  const std::span<const uint8_t> fields(f.bytes.data(), f.size);
  for (uint8_t b : fields) put_hex_byte(out, b);
  put_hex_byte(out, record_checksum(fields, intel));
  out += line_end;
}

constexpr size_t kBytesPerRecord = 16;

void write_intel(std::string& out, std::span<const uint8_t> block, std::string_view line_end) {
  for (size_t at = 0; at < block.size(); at += kBytesPerRecord) {
    const std::span<const uint8_t> data =
        block.subspan(at, std::min(kBytesPerRecord, block.size() - at));
    Fields f;
    f.put(static_cast<uint8_t>(data.size()));
    f.put_number(static_cast<uint32_t>(at), 2);
    f.put(0x00);
    f.put_all(data);
    put_record(out, ":", f, true, line_end);
  }
  out += ":00000001FF";
  out += line_end;
}

struct SRecordKind {
  char data_type;
  char end_type;
  size_t address_bytes;
};

void put_s_record(std::string& out, char type, size_t address_bytes, uint32_t address,
                  std::span<const uint8_t> data, std::string_view line_end) {
  Fields f;
  f.put(static_cast<uint8_t>(address_bytes + data.size() + 1));
  f.put_number(address, address_bytes);
  f.put_all(data);
  put_record(out, std::string{'S', type}, f, false, line_end);
}

void write_s_records(std::string& out, std::span<const uint8_t> block, SRecordKind kind,
                     std::string_view line_end) {
  static constexpr uint8_t kHeader[] = {'c', 'h', 'i', 'p', 'f', 'e', 'r', 'r', 'y'};
  put_s_record(out, '0', 2, 0, kHeader, line_end);
  for (size_t at = 0; at < block.size(); at += kBytesPerRecord) {
    put_s_record(out, kind.data_type, kind.address_bytes, static_cast<uint32_t>(at),
                 block.subspan(at, std::min(kBytesPerRecord, block.size() - at)), line_end);
  }
  put_s_record(out, kind.end_type, kind.address_bytes, 0, {}, line_end);
}

}  // namespace

ImageFormat detect_image_format(std::span<const uint8_t> file) {
  const ImageFormat format = format_by_first_character(as_text(file));
  // Only the first record decides. A stray byte further down must refuse
  // the file with its line: taken for raw data, text of a capacity's size
  // would be burned into the chip.
  if (format == ImageFormat::raw || first_record_fault(file, format)) return ImageFormat::raw;
  return format;
}

std::optional<TextImageError> first_record_error(std::span<const uint8_t> file) {
  const ImageFormat format = format_by_first_character(as_text(file));
  if (format == ImageFormat::raw) return std::nullopt;
  return first_record_fault(file, format);
}

TextImage read_text_image(std::span<const uint8_t> file) {
  const ImageFormat format = detect_image_format(file);
  if (format == ImageFormat::raw) return {};
  Gathered gathered;
  LineReader lines(file);
  bool complete = false;
  while (std::optional<Line> line = lines.next()) {
    // Whether the text ended too soon is judged below, as at its real end.
    if (is_dos_end(line->text)) break;
    if (is_blank_line(line->text)) continue;
    const Record record = read_record(line->text, format);
    if (!record.error.empty()) return refused(format, line->number, record.error);
    std::string error = format == ImageFormat::intel_hex
                            ? take_intel(gathered, record, line->number)
                            : take_s_record(gathered, record, line->number);
    if (!error.empty()) return refused(format, line->number, std::move(error));
    // srec_cat ends an S-record file with its count when it has no start
    // address to give an end record.
    complete = record.is_end || (!record.intel && (record.type == 5 || record.type == 6));
    if (record.is_end) break;
  }
  if (!complete) return refused(format, 0, "ends without an end record: is it cut short?");
  if (gathered.pieces.empty()) return refused(format, 0, "holds no data");
  TextImage image;
  image.format = format;
  if (auto error = settle(gathered, image.runs)) {
    return refused(format, error->line, std::move(error->what));
  }
  return image;
}

Placement place_text_image(const TextImage& image, int32_t length) {
  assert(length >= capacity_of(0) && length <= capacity_of(kSizeClassCount - 1));
  Placement p;
  if (image.runs.empty()) {
    p.refusal.what = "holds no data";
    return p;
  }
  const DataRun& first = image.runs.front();
  const DataRun& last = image.runs.back();
  p.low = first.address;
  p.high = static_cast<uint32_t>(last.address + last.bytes.size() - 1);
  const auto window = static_cast<uint64_t>(length);
  if (!one_window(p.low, p.high, window)) {
    const uint64_t first_end = first.address + first.bytes.size() - 1;
    p.refusal.what = "holds " + range_text(p.low, first_end);
    p.refusal.what += image.runs.size() == 1 ? ": no " + window_words(length) + " holds it"
                                             : " and " + range_text(last.address, p.high) +
                                                   ": no " + window_words(length) + " holds both";
    return p;
  }
  p.fits = true;
  p.base = static_cast<uint32_t>(p.low / window * window);
  p.block.assign(static_cast<size_t>(length), kErased);
  for (const DataRun& run : image.runs) {
    std::copy(run.bytes.begin(), run.bytes.end(), p.block.begin() + (run.address - p.base));
  }
  return p;
}

int32_t smallest_length(const TextImage& image) {
  if (image.runs.empty()) return capacity_of(0);
  const uint64_t low = image.runs.front().address;
  const uint64_t high = image.runs.back().address + image.runs.back().bytes.size() - 1;
  for (uint8_t k = 0; k < kSizeClassCount; ++k) {
    if (one_window(low, high, static_cast<uint64_t>(capacity_of(k)))) return capacity_of(k);
  }
  return capacity_of(kSizeClassCount - 1);
}

std::string text_image_message(std::string_view file_name, const TextImageError& error) {
  std::string message(file_name);
  if (error.line > 0) {
    message += ':';
    message += std::to_string(error.line);
    message += ':';
  }
  message += ' ';
  message += error.what;
  return message;
}

std::string window_note(std::string_view file_name, std::string_view chip,
                        const Placement& placement) {
  std::string note(file_name);
  note += " holds " + range_text(placement.low, placement.high) + "; ";
  note += chip;
  note +=
      " sees it as " + range_text(placement.low - placement.base, placement.high - placement.base);
  return note;
}

SaveFormat save_format_for(std::string_view file_name) {
  static constexpr std::pair<const char*, SaveFormat> kExtensions[] = {
      {"hex", SaveFormat::intel_hex},  {"ihx", SaveFormat::intel_hex},
      {"ihex", SaveFormat::intel_hex}, {"s19", SaveFormat::s19},
      {"srec", SaveFormat::s19},       {"mot", SaveFormat::s19},
      {"s28", SaveFormat::s28},        {"s37", SaveFormat::s37},
  };
  const size_t folder_end = file_name.find_last_of("/\\");
  const std::string_view base =
      folder_end == std::string_view::npos ? file_name : file_name.substr(folder_end + 1);
  const size_t dot = base.rfind('.');
  if (dot == std::string_view::npos) return SaveFormat::raw;
  const std::string extension(base.substr(dot + 1));
  for (const auto& [name, format] : kExtensions) {
    if (equal_ignoring_case(extension.c_str(), name)) return format;
  }
  return SaveFormat::raw;
}

std::string write_text_image(std::span<const uint8_t> block, SaveFormat format,
                             std::string_view line_end) {
  assert(format != SaveFormat::raw && block.size() <= 0x10000);
  std::string out;
  switch (format) {
    case SaveFormat::intel_hex:
      write_intel(out, block, line_end);
      break;
    case SaveFormat::s28:
      write_s_records(out, block, {'2', '8', 3}, line_end);
      break;
    case SaveFormat::s37:
      write_s_records(out, block, {'3', '7', 4}, line_end);
      break;
    default:
      write_s_records(out, block, {'1', '9', 2}, line_end);
      break;
  }
  return out;
}

}  // namespace chipferry
