// The console on Linux: standard output, standard input, the terminal
// keyboard when standard input is a terminal, and the status line when
// standard error is one.
//
// Standard input is read with read(2) into a buffer of our own, so that no
// stdio buffer hides typed keys from the key test. The buffer is one piece
// long (kInputPiece): what input brings is handed on as it comes, never
// gathered whole, and never looked at twice. Whenever the terminal is
// switched out of line mode, its previous settings are restored when it is
// switched back, and also by a second Ctrl+C that ends the process at once
// (platform/interrupt-posix.h); so is a status line erased.
//
// Standard output is written with write(2) too: a reader that has gone
// shows as EPIPE (SIGPIPE is ignored), and the run must then end. While
// the program waits for a line or a key, a pipe on standard output is
// watched as well, so that its reader's going is seen at once, not at the
// next line typed. The signals that ask the run to end interrupt those
// waits: they block the signals and let ppoll() take them, so that one
// arriving just before the wait is not missed.
//
// The status line is drawn with a carriage return and erased with the
// terminal's erase-to-end-of-line (ESC [ K), which every terminal of the
// last forty years understands.
#pragma once

#include <termios.h>

#include <string>

#include "platform/console.h"

namespace chipferry {

class PosixConsole : public Console {
 public:
  PosixConsole();
  ~PosixConsole() override;

  void write(std::string_view text) override;
  bool read_input(std::string& piece) override;
  void wait_key() override;
  void set_key_mode(bool on) override;
  int poll_key() override;
  bool has_keyboard() const override;
  bool shows_status() const override;
  void status(std::string_view line) override;
  void diagnostic(std::string_view line) override;
  Stop stop_requested() override;

 private:
  /// Waits until standard input has something to read; false when the run
  /// must end first.
  bool wait_for_input();
  bool enter_key_mode();
  void leave_key_mode();
  void erase_status();

  bool terminal_;
  bool status_terminal_;  ///< standard error is a terminal
  std::string shown_;     ///< the status line on the screen now
  bool key_mode_ = false;
  int key_mode_depth_ = 0;
  termios saved_{};
  /// Read from standard input, not yet handed out: [next_, end_).
  char input_[kInputPiece];
  size_t next_ = 0;
  size_t end_ = 0;
  bool ended_ = false;
  bool output_is_pipe_;       ///< a pipe or a socket, whose reader may go
  bool output_gone_ = false;  ///< its reader has gone
};

}  // namespace chipferry
