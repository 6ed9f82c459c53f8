// The console seam: standard output, standard input, the keyboard, and the
// status line.
//
// Standard input is consumed a line at a time (the program keeps its own
// line buffer on top, see session/console_io.h). The keyboard is a separate
// thing: it exists only when standard input is a terminal. Without a
// keyboard the key wait returns at once and no key is ever reported, so a
// scripted run never hangs and never loses lines meant for later prompts.
//
// The status line says what the program is waiting for while it waits. It
// is drawn on standard error, and only when standard error is a terminal:
// a pipe or a file never receives a byte of it. write(), read_line() and
// wait_key() erase it before they do anything else, so the screen then
// holds exactly what it would have held without it; standard output never
// carries any of it. Diagnostics go to standard error too, as whole lines,
// wherever it leads.
#pragma once

#include <string>
#include <string_view>

namespace chipferry {

class Console {
 public:
  virtual ~Console() = default;

  /// Writes to standard output and flushes, so that every prompt is visible
  /// before the program waits, also when output is a pipe.
  virtual void write(std::string_view text) = 0;

  /// Reads the next line of standard input into `line`, without its line
  /// end and with carriage returns dropped. False at end of input.
  virtual bool read_line(std::string& line) = 0;

  /// Blocks, without spinning, until a key press is waiting; the key is not
  /// consumed. Returns at once when there is no keyboard.
  virtual void wait_key() = 0;

  /// Switches the keyboard between line mode and key mode (single keys,
  /// no echo). Key mode is what poll_key() reads in; the previous terminal
  /// settings come back when it is switched off, and also if the process
  /// is interrupted meanwhile.
  virtual void set_key_mode(bool on) = 0;

  /// The key pressed since the last call, read without echo and without
  /// blocking; -1 when none is waiting or there is no keyboard.
  virtual int poll_key() = 0;

  /// True when there is a keyboard, so that poll_key() can report keys.
  virtual bool has_keyboard() const = 0;

  /// True when status() draws: standard error is a terminal. Elsewhere the
  /// program does not even make the lines.
  virtual bool shows_status() const = 0;

  /// Shows `line` as the status line, in place of the one shown before; an
  /// empty line erases it. A line wider than the terminal is cut short.
  virtual void status(std::string_view line) = 0;

  /// Writes "chipferry: ", `line` and a line end on standard error, whether
  /// or not it is a terminal: a diagnostic for a person, never part of
  /// what standard output carries. The status line is erased first.
  virtual void diagnostic(std::string_view line) = 0;
};

}  // namespace chipferry
