// A console for the tests and the fuzzer: standard input is a fixed text,
// standard output is collected, and key presses arrive at given virtual
// times. The run can be asked to end as a signal asks it, at a virtual
// time or at a line read, and standard output can lose its reader after
// some writes. A harness that watches the run is called at the start of
// every write and read.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/console.h"
#include "tests/support/virtual_clock.h"

namespace chipferry::test {

class ScriptedConsole : public Console {
 public:
  explicit ScriptedConsole(VirtualClock& clock) : clock_(clock) {}

  void write(std::string_view text) override {
    watched();
    if (writes_before_output_gone == 0) {
      output_gone = true;
      return;
    }
    if (writes_before_output_gone > 0) --writes_before_output_gone;
    out.append(text);
  }

  bool read_input(std::string& piece) override {
    watched();
    ++line_reads;
    // A read that the request interrupts.
    if (stop_requested() != Stop::none) return false;
    if (input_pos >= input.size()) return false;
    // As a pipe hands it over: the line whole, or kInputPiece of it.
    size_t end = input.find('\n', input_pos);
    end = std::min(end == std::string::npos ? input.size() : end + 1, input_pos + kInputPiece);
    piece = input.substr(input_pos, end - input_pos);
    input_pos = end;
    if (piece.ends_with('\n') || input_pos == input.size()) ++lines_read;
    return true;
  }

  void wait_key() override {
    watched();
    ++key_waits;
  }

  void set_key_mode(bool on) override {
    key_mode = on;
    ++key_mode_changes;
  }

  int poll_key() override {
    watched();
    ++key_polls;
    if (!keys.empty() && keys.front().at_ms <= clock_.now && key_polls > keys.front().after_polls) {
      const int key = keys.front().key;
      keys.pop_front();
      return key;
    }
    return -1;
  }

  bool has_keyboard() const override { return keyboard; }
  bool shows_status() const override { return status_terminal; }

  void status(std::string_view line) override {
    statuses.push_back({std::string(line), clock_.now});
  }

  void diagnostic(std::string_view line) override {
    watched();
    diagnostics.emplace_back(line);
  }

  Stop stop_requested() override {
    if (output_gone) return Stop::output_gone;
    if (!stop || clock_.now < stop->at_ms || line_reads < stop->at_line_read) return Stop::none;
    return stop->why;
  }

  /// The request to end the run: `why`, from virtual time `at_ms` on, and
  /// not before the `at_line_read`-th read of input has begun (which it
  /// then interrupts).
  struct StopAt {
    Stop why;
    uint64_t at_ms = 0;
    int at_line_read = 0;
  };

  struct Key {
    int key;
    uint64_t at_ms;       ///< the key is there from this virtual time on
    int after_polls = 0;  ///< and once this many polls have been made
  };

  std::string input;  ///< all of standard input
  size_t input_pos = 0;
  std::deque<Key> keys;
  std::string out;  ///< all of standard output
  /// Writes that reach standard output before its reader goes; -1: all.
  /// The next one then fails, as a write to a pipe nobody reads fails.
  int writes_before_output_gone = -1;
  bool output_gone = false;
  std::optional<StopAt> stop;
  int line_reads = 0;  ///< read_input calls, interrupted ones included
  int lines_read = 0;  ///< lines handed over whole or to their last piece
  int key_waits = 0;
  int key_polls = 0;
  int key_mode_changes = 0;
  bool key_mode = false;
  bool keyboard = true;
  /// Every status line drawn, "" for an erase, at its virtual time.
  struct Status {
    std::string line;
    uint64_t at_ms;
  };
  std::vector<Status> statuses;
  bool status_terminal = true;  ///< standard error is a terminal
  /// Every diagnostic line, without "chipferry: " and the line end.
  std::vector<std::string> diagnostics;
  /// Called first in every write, line read, key wait, key poll and
  /// diagnostic: the fuzzer's watch on the run.
  std::function<void()> on_call;

 private:
  void watched() const {
    if (on_call) on_call();
  }

  VirtualClock& clock_;
};

}  // namespace chipferry::test
