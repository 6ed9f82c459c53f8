// The console seam: standard output, standard input, the keyboard, and the
// status line.
//
// Standard input is handed over a line at a time, and a line longer than
// kInputPiece in pieces of that length: a line that never ends (a file of
// zeros, say) costs no more memory than one piece, and each byte is looked
// at once. The program keeps the piece it reads from on top (see
// session/console_io.h). The keyboard is a separate
// thing: it exists only when standard input is a terminal. Without a
// keyboard the key wait returns at once and no key is ever reported, so a
// scripted run never hangs and never loses lines meant for later prompts.
//
// The status line says what the program is waiting for while it waits. It
// is drawn on standard error, and only when standard error is a terminal:
// a pipe or a file never receives a byte of it. write(), read_input() and
// wait_key() erase it before they do anything else, so the screen then
// holds exactly what it would have held without it; standard output never
// carries any of it. Diagnostics go to standard error too, as whole lines,
// wherever it leads.
//
// The console is also where the program learns that the run must end
// before its time: Ctrl+C and the other signals that ask a process to end
// come from the terminal, and a reader that has gone away is standard
// output's. The backends only take note; the program's own loops ask
// (stop_requested()) and end the run along their normal path, so that the
// programmer is released as at every other end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace chipferry {

/// Why the run must end before its time.
enum class Stop : uint8_t {
  none,
  interrupt,    ///< Ctrl+C (SIGINT); on Windows also Ctrl+Break
  quit,         ///< SIGQUIT (Ctrl+\)
  terminate,    ///< SIGTERM
  hang_up,      ///< SIGHUP; on Windows the console closed, logoff, shutdown
  output_gone,  ///< standard output can no longer be written: its reader left
};

/// The exit status a shell shows for a run that `stop` ends: 128 and the
/// signal's number, as a process that the signal ends gives. Standard
/// output gone counts as SIGPIPE, which is how a pipeline's writer
/// normally ends when its reader leaves.
constexpr int stop_status(Stop stop) {
  switch (stop) {
    case Stop::none:
      return 0;
    case Stop::interrupt:
      return 128 + 2;
    case Stop::quit:
      return 128 + 3;
    case Stop::terminate:
      return 128 + 15;
    case Stop::hang_up:
      return 128 + 1;
    case Stop::output_gone:
      return 128 + 13;
  }
  return 0;
}

/// The most standard input hands over at once (Console::read_input).
/// Far longer than any line a person types, so that typed lines come
/// whole, as a terminal's line editing gives them.
constexpr size_t kInputPiece = 4096;

class Console {
 public:
  virtual ~Console() = default;

  /// Writes to standard output and flushes, so that every prompt is visible
  /// before the program waits, also when output is a pipe.
  virtual void write(std::string_view text) = 0;

  /// Reads the next piece of standard input into `piece`, as it stands
  /// (carriage returns too): the rest of the current line up to its line
  /// feed, which the piece ends with, or the next kInputPiece bytes of it
  /// if that comes first. Only the last piece of the input ends otherwise.
  /// Never empty. False at end of input, and when the run must end
  /// meanwhile (stop_requested() then tells).
  virtual bool read_input(std::string& piece) = 0;

  /// Blocks, without spinning, until a key press is waiting; the key is not
  /// consumed. Returns at once when there is no keyboard, and when the run
  /// must end.
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
  /// Every call draws: the program never asks for the line it has shown
  /// (session/status.h).
  virtual void status(std::string_view line) = 0;

  /// Writes "chipferry: ", `line` and a line end on standard error, whether
  /// or not it is a terminal: a diagnostic for a person, never part of
  /// what standard output carries. The status line is erased first.
  virtual void diagnostic(std::string_view line) = 0;

  /// Why the run must end now, or Stop::none. The first reason that came
  /// is the one reported, however many follow. Costs no more than a look
  /// at a flag: the loops ask between bytes.
  virtual Stop stop_requested() = 0;
};

}  // namespace chipferry
