// The console on Linux: standard output, standard input, and the terminal
// keyboard when standard input is a terminal.
//
// Standard input is read with read(2) into a buffer of our own, so that no
// stdio buffer hides typed keys from the key test. Whenever the terminal is
// switched out of line mode, its previous settings are restored when it is
// switched back, and also by SIGINT, SIGTERM, SIGHUP and SIGQUIT, which then
// keep their default effect (platform/interrupt-posix.h).
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
  bool read_line(std::string& line) override;
  void wait_key() override;
  void set_key_mode(bool on) override;
  int poll_key() override;

 private:
  bool enter_key_mode();
  void leave_key_mode();

  bool terminal_;
  bool key_mode_ = false;
  int key_mode_depth_ = 0;
  termios saved_{};
  std::string pending_;  ///< read from standard input, not yet handed out
  bool ended_ = false;
};

}  // namespace chipferry
