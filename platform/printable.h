// The one way text from outside the program is shown: a device's name, a
// port server's words, a line of a trace, a key typed at the menu. Raw, a
// control character would be obeyed by the terminal (an escape sequence
// that moves the cursor or retitles the window) or would break a line of a
// file apart. Plain code that every layer may use: the console, the trace
// and the diagnostics all show such text through it, and bytes and
// addresses in hexadecimal through the one formatter beside it (read back
// through the one digit parser).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace chipferry {

/// `text` with nothing in it that a terminal acts on, as `cat -v` shows
/// such bytes: the C0 controls and DEL in caret notation (ESC as ^[, DEL
/// as ^?); the C1 controls, 0x80 to 0x9F on their own or written in UTF-8,
/// each byte as M- and the notation of its low seven bits (0x9B as M-^[).
/// Everything else as it stands: UTF-8, and the bytes of 0xA0 and above
/// that an eight-bit code page prints. Showing it again changes nothing.
std::string printable(std::string_view text);

/// `value` in upper-case hexadecimal, at least `digits` digits: a byte on a
/// trace's line ("0D"), an address or a checksum in a message ("E000").
std::string hex(uint64_t value, size_t digits = 2);

/// The value of one hexadecimal digit, in either case, or -1 for any other
/// character.
int hex_digit(char c);

}  // namespace chipferry
