#include "platform/printable.h"

#include <cstddef>
#include <cstdint>

namespace chipferry {
namespace {

bool is_c0(uint8_t byte) { return byte < 0x20 || byte == 0x7F; }
bool is_c1(uint8_t byte) { return byte >= 0x80 && byte < 0xA0; }

void put_ascii(uint8_t byte, std::string& out) {
  if (is_c0(byte)) {
    out += '^';
    out += static_cast<char>(byte ^ 0x40);
  } else {
    out += static_cast<char>(byte);
  }
}

void put_meta(uint8_t byte, std::string& out) {
  out += "M-";
  put_ascii(byte & 0x7F, out);
}

// The length of the UTF-8 character that `rest` starts with, 0 when it
// starts with none: a terminal decodes only these, so an overlong or a
// cut sequence is taken byte by byte.
size_t utf8_length(std::string_view rest) {
  const auto lead = static_cast<uint8_t>(rest[0]);
  size_t length = 0;
  uint8_t low = 0x80;
  uint8_t high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong form
    if (lead == 0xED) high = 0x9F;  // no surrogate
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // no overlong form
    if (lead == 0xF4) high = 0x8F;  // nothing past U+10FFFF
  }
  if (length == 0 || rest.size() < length) return 0;
  for (size_t i = 1; i < length; ++i) {
    const auto next = static_cast<uint8_t>(rest[i]);
    if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF)) return 0;
  }
  return length;
}

}  // namespace

std::string hex(uint64_t value, size_t digits) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  do {
    text.insert(text.begin(), kDigits[value & 0xF]);
    value >>= 4;
  } while (value != 0 || text.size() < digits);
  return text;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string printable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const auto byte = static_cast<uint8_t>(text[i]);
    const size_t length = byte < 0x80 ? 0 : utf8_length(text.substr(i));
    // U+0080 to U+009F: a C1 control to a terminal that decodes UTF-8.
    const bool c1_in_utf8 = length == 2 && byte == 0xC2 && is_c1(static_cast<uint8_t>(text[i + 1]));
    if (byte < 0x80) {
      put_ascii(byte, out);
    } else if (c1_in_utf8) {
      put_meta(byte, out);
      put_meta(static_cast<uint8_t>(text[i + 1]), out);
    } else if (length > 0) {
      out.append(text.substr(i, length));
    } else if (is_c1(byte)) {
      put_meta(byte, out);
    } else {
      out += static_cast<char>(byte);
    }
    i += length > 0 ? length : 1;
  }
  return out;
}

}  // namespace chipferry
