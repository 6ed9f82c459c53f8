// The console on Windows: standard output, standard input through the C
// runtime, the console keyboard through its input events when standard
// input is a console, and the status line when standard error is a
// console screen. The console needs no mode switch for single keys: its
// events are read without echo whatever the line mode. Ctrl+C and the
// console's other requests to end the run come through
// platform/interrupt-win32.h; a standard output whose reader has gone
// through a failed write.
#pragma once

#include <string>

#include "platform/console.h"

namespace chipferry {

class Win32Console : public Console {
 public:
  Win32Console();

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
  static constexpr unsigned long long kLookIntervalMs = 10;

  void erase_status();

  bool console_;                      ///< standard input is the console keyboard
  void* screen_;                      ///< standard error's console screen, if it is one
  std::string shown_;                 ///< the status line on the screen now
  unsigned long long last_look_ = 0;  ///< GetTickCount64() when poll_key last looked
  bool output_gone_ = false;          ///< standard output's reader has gone
};

}  // namespace chipferry
