// The console words every option uses: formatted output, and input as the
// menu and the prompts read it (one character at a time from the current
// line, whitespace-delimited words, whole lines). Everything reads through
// Session::input, so what one prompt leaves on a line is what the next
// read sees.
#pragma once

#include <cstddef>
#include <string_view>

#include "session/session.h"

namespace chipferry {

/// Formatted output on standard output. The format is always a literal of
/// the program: the compiler checks it, and user or device text only ever
/// enters as an argument.
void print(Session& s, const char* format, ...) __attribute__((format(printf, 2, 3)));

/// One diagnostic line on standard error for a person: the device, the
/// system's reason, a hint. Control characters in `line` (a device path
/// may hold any) are shown in caret notation, so that it stays one line.
void diagnose(Session& s, std::string_view line);

constexpr int kEndOfInput = -1;

/// The next character of standard input, the line feed that ends each
/// line included; kEndOfInput once input has ended, and once the run must
/// end (session/ending.h): the reads below then say ended too.
int read_char(Session& s);

/// Drops the unread rest of the current line. Never blocks and never reads
/// a new line.
void discard_pending_input(Session& s);

/// How a console read ended.
enum class ReadResult {
  ok,        ///< something was read
  empty,     ///< read_line only: the line had nothing on it
  too_long,  ///< more than fitted; what fitted was kept
  ended,     ///< standard input had ended; nothing was read
};

/// Reads one word as the "%s" conversion does: leading white space, line
/// ends included, is skipped; the word ends before the next white space,
/// which stays pending. A word that does not fit in `size` - 1 characters is
/// consumed whole and reported as too_long, with what fit in `out`.
/// ended: input ended before a word began; `out` is then empty.
ReadResult read_word(Session& s, char* out, size_t size);

/// Reads the rest of the current line, or the next line when nothing of
/// the current one is pending, without its line end. A line that does not
/// fit in `size` - 1 characters is consumed whole and reported as too_long,
/// with what fit in `out`. empty: nothing stood on it. ended: no line could
/// be read; `out` is empty.
ReadResult read_line(Session& s, char* out, size_t size);

}  // namespace chipferry
