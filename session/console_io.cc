#include "session/console_io.h"

#include <cstdarg>
#include <cstdio>
#include <string>
#include <utility>

#include "platform/printable.h"
#include "session/ending.h"

namespace chipferry {

void print(Session& s, const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  if (length > 0) {
    std::string text(static_cast<size_t>(length) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, again);
    text.resize(static_cast<size_t>(length));
    s.console.write(text);
  }
  va_end(again);
}

void diagnose(Session& s, std::string_view line) { s.console.diagnostic(printable(line)); }

namespace {

bool is_space(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// Takes the console's next piece in. The last line, when input ends
// without its line end, gets one, as every other line has. False once
// input has ended, and once the run must end.
bool next_piece(Session& s) {
  InputLine& in = s.input;
  in.pos = 0;
  if (!in.ended && s.console.read_input(in.piece)) {
    in.line_goes_on = !in.piece.ends_with('\n');
    std::erase(in.piece, '\r');
    return true;
  }
  in.piece.clear();
  in.ended = true;
  if (must_end(s) || !std::exchange(in.line_goes_on, false)) return false;
  in.piece.push_back('\n');
  return true;
}

// Makes a character available in the current piece, taking the next one
// when this one is used up. False once input has ended, and once the run
// must end: what was typed ahead is not acted on then.
bool fill(Session& s) {
  InputLine& in = s.input;
  while (!must_end(s)) {
    if (in.pos < in.piece.size()) return true;
    if (!next_piece(s)) return false;
    if (in.dropping) {
      // The rest of a line discarded before all of it had come.
      const size_t end = in.piece.find('\n');
      in.pos = end == std::string::npos ? in.piece.size() : end + 1;
      in.dropping = end == std::string::npos;
    }
  }
  return false;
}

int peek(Session& s) {
  if (!fill(s)) return kEndOfInput;
  return static_cast<unsigned char>(s.input.piece[s.input.pos]);
}

bool is_line_end(int c) { return c == '\n'; }

// The one body of the word and the line reads: takes characters up to the
// first that `ends` (left pending) or the end of input, keeping the first
// kLongestTyped of them. Returns the character it stopped at.
int take_until(Session& s, bool (*ends)(int c), Typed& read) {
  read.result = ReadResult::ok;
  int c = peek(s);
  for (; c != kEndOfInput && !ends(c); c = peek(s)) {
    if (read.text.size() < kLongestTyped) {
      read.text.push_back(static_cast<char>(c));
    } else {
      read.result = ReadResult::too_long;
    }
    ++s.input.pos;
  }
  // Cut short by the end of the run: what was half read is not acted on.
  if (c == kEndOfInput && must_end(s)) read.result = ReadResult::ended;
  return c;
}

}  // namespace

int read_char(Session& s) {
  const int c = peek(s);
  if (c != kEndOfInput) ++s.input.pos;
  return c;
}

void discard_pending_input(Session& s) {
  InputLine& in = s.input;
  in.pos = in.piece.size();
  // Of a line longer than a piece, what has not come yet goes as it comes.
  if (in.line_goes_on) in.dropping = true;
}

Typed read_word(Session& s) {
  Typed read;
  int c = peek(s);
  while (c != kEndOfInput && is_space(c)) {
    ++s.input.pos;
    c = peek(s);
  }
  if (c != kEndOfInput) take_until(s, is_space, read);
  return read;
}

Typed read_line(Session& s) {
  Typed read;
  if (!fill(s)) return read;
  if (take_until(s, is_line_end, read) == '\n') ++s.input.pos;
  if (read.result == ReadResult::ok && read.text.empty()) read.result = ReadResult::empty;
  return read;
}

}  // namespace chipferry
