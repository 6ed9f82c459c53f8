// The console seam: standard output, standard input, and the keyboard.
//
// Standard input is consumed a line at a time (the program keeps its own
// line buffer on top, see app/input.h). The keyboard is a separate thing:
// it exists only when standard input is a terminal. Without a keyboard the
// key wait returns at once and no key is ever reported, so a scripted run
// never hangs and never loses lines meant for later prompts.
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
};

}  // namespace chipferry
