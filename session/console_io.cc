#include "session/console_io.h"

#include <cstdarg>
#include <cstdio>
#include <string>

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

// Makes a character available in the current line, reading a new line when
// the current one is used up. False once input has ended, and once the run
// must end: what was typed ahead is not acted on then.
bool fill(Session& s) {
  InputLine& in = s.input;
  if (must_end(s)) return false;
  if (in.pos < in.line.size()) return true;
  if (in.ended) return false;
  std::string next;
  if (!s.console.read_line(next)) {
    in.ended = true;
    in.line.clear();
    in.pos = 0;
    return false;
  }
  in.line = std::move(next);
  in.line.push_back('\n');
  in.pos = 0;
  return true;
}

int peek(Session& s) {
  if (!fill(s)) return kEndOfInput;
  return static_cast<unsigned char>(s.input.line[s.input.pos]);
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
  return c;
}

}  // namespace

int read_char(Session& s) {
  const int c = peek(s);
  if (c != kEndOfInput) ++s.input.pos;
  return c;
}

void discard_pending_input(Session& s) { s.input.pos = s.input.line.size(); }

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
