// The console words every option uses: formatted output, and input as the
// menu and the prompts read it (one character at a time from the current
// line, whitespace-delimited words, whole lines). Everything reads through
// Session::input, so what one prompt leaves on a line is what the next
// read sees.
#pragma once

#include <cstddef>
#include <string>
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
/// a new line: of a line longer than a piece, what has not come yet is
/// dropped by the next read, as it comes.
void discard_pending_input(Session& s);

/// The most a typed word or line may hold. A longer one is refused whole,
/// never acted on cut down to what fitted: cut, a file name could name
/// another file.
constexpr size_t kLongestTyped = 255;

/// How a console read ended.
enum class ReadResult {
  ok,        ///< something was read
  empty,     ///< read_line only: the line had nothing on it
  too_long,  ///< more than kLongestTyped characters; the first of them kept
  ended,     ///< standard input had ended; nothing was read
};

/// What a word or line read brought, and how the read ended.
struct Typed {
  ReadResult result = ReadResult::ended;
  std::string text;
};

/// Reads one word as the "%s" conversion does: leading white space, line
/// ends included, is skipped; the word ends before the next white space,
/// which stays pending. A longer word than kLongestTyped is consumed whole
/// and reported as too_long. ended: input ended before a word began.
Typed read_word(Session& s);

/// Reads the rest of the current line, or the next line when nothing of
/// the current one is pending, without its line end. A longer line than
/// kLongestTyped is consumed whole and reported as too_long. empty:
/// nothing stood on it. ended: no line could be read.
Typed read_line(Session& s);

}  // namespace chipferry
