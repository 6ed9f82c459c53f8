#include "link/port.h"

#include <cstring>
#include <string>

#include "link/protocol.h"
#include "link/timings.h"
#include "session/console_io.h"
#include "session/ending.h"
#include "session/status.h"

namespace chipferry {

namespace {

// Standard output says only that the port failed, in the words it always
// had; standard error says why: the device COM1 stood for, the system's
// reason and what the platform suggests, "COM1 (/dev/ttyUSB0) cannot be
// opened: Permission denied; ...".
void explain(Session& s, const char* what, const std::string& advice) {
  std::string line = port_and_device(s) + what;
  const std::string reason = s.serial.error_text();
  if (!reason.empty()) line += ": " + reason;
  if (!advice.empty()) line += "; " + advice;
  diagnose(s, line);
}

void explain_port_failure(Session& s, const char* failed) { explain(s, failed, s.serial.advice()); }

}  // namespace

int open_port(Session& s) {
  std::strncpy(s.port.name, "COM1", sizeof s.port.name);

  switch (s.serial.open(s.port.name)) {
    case OpenResult::ok:
      break;
    case OpenResult::not_found:
      print(s, "Port %s doesn't exist\n", s.port.name);
      explain_port_failure(s, " cannot be opened");
      return kExitNoPort;
    case OpenResult::failed:
      print(s, "Can't access Port %s\n", s.port.name);
      explain_port_failure(s, " cannot be opened");
      return kExitPortAccess;
  }
  s.port.release_registered = true;

  if (!s.serial.get_state()) {
    print(s, "Can't get Port %s state\n", s.port.name);
    explain_port_failure(s, " is not a serial device");
    return kExitPortGetState;
  }
  s.port.answers_settings = true;
  if (!s.serial.set_state()) {
    print(s, "Can't set Port %s state\n", s.port.name);
    explain_port_failure(s, " refused the line settings (19200 baud, 8N1, RTS/CTS)");
    return kExitPortSetState;
  }

  const Timeouts timeouts{timing::kByteTimeoutMs, timing::kByteTimeoutMs};
  if (!s.serial.set_timeouts(timeouts)) {
    print(s, "Can't set Port %s timeouts\n", s.port.name);
    explain_port_failure(s, " refused its time-outs");
    return kExitPortTimeouts;
  }
  return kExitOk;
}

std::string port_and_device(Session& s) {
  std::string text = s.port.name;
  const std::string device = s.serial.device_path(s.port.name);
  if (!device.empty() && device != s.port.name) text += " (" + device + ")";
  return text;
}

namespace {

// Said once, after the failure line of the call that showed it.
void note_gone(Session& s) {
  s.port.gone = true;
  explain(s, " went away", s.serial.gone_advice());
}

}  // namespace

void send_byte(Session& s, uint8_t byte) {
  s.port.write_count = 0;
  if (s.port.gone) return;
  const ByteIo io = s.serial.write_byte(byte);
  s.port.write_count = io.count;
  if (!io.call_ok) print(s, "Couldn't write to Port %s\n", s.port.name);
  if (io.gone) note_gone(s);
}

void send_string(Session& s, const char* text) {
  for (const char* p = text; *p != '\0'; ++p) send_byte(s, static_cast<uint8_t>(*p));
}

uint8_t read_byte(Session& s) {
  s.port.read_count = 0;
  if (s.port.gone) return 0;
  uint8_t byte = 0;
  const ByteIo io = s.serial.read_byte(byte);
  s.port.read_count = io.count;
  if (!io.call_ok) {
    print(s, "Couldn't read Port %s\n", s.port.name);
    s.port.read_count = 0;
    if (io.gone) note_gone(s);
    return 0;
  }
  return io.count != 0 ? byte : 0;
}

namespace {

// One read that must bring `expected`.
bool read_expected(Session& s, uint8_t expected) {
  const uint8_t byte = read_byte(s);
  return s.port.read_count != 0 && byte == expected;
}

// A programmer that is off, or on another port, is otherwise eight
// minutes of a blank screen: once a wait has lasted a second, the status
// line says what it waits on, for how long at most, and the way out.
class WaitStatus {
 public:
  explicit WaitStatus(Session& s) : s_(s), start_ms_(s.clock.now_ms()) {}
  ~WaitStatus() {
    if (shown_) clear_status(s_);
  }
  WaitStatus(const WaitStatus&) = delete;
  WaitStatus& operator=(const WaitStatus&) = delete;

  void update() {
    const uint64_t waited = s_.clock.now_ms() - start_ms_;
    if (waited < timing::kWaitShownAfterMs || !status_due(s_)) return;
    if (!shown_) {
      head_ = "Waiting for the programmer on " + port_and_device(s_) + ": ";
      tail_ = " of " + seconds_text(timing::kLongestWaitMs / 1000) + ", Ctrl+C stops";
    }
    // Counted in seconds: show_status draws it only when that changes.
    show_status(s_, head_ + seconds_text(waited / 1000) + tail_);
    shown_ = true;
  }

 private:
  Session& s_;
  uint64_t start_ms_;
  bool shown_ = false;
  std::string head_;  ///< the port and the most it may wait: made once per wait
  std::string tail_;
};

// Nothing more can come: the device has gone, or the run must end.
bool cut_off(Session& s) { return s.port.gone || must_end(s); }

// One attempt at the prompt: its bytes in a row, the first other one ends
// it.
bool read_prompt(Session& s) {
  for (const char* p = protocol::kPrompt; *p != '\0'; ++p) {
    if (!read_expected(s, static_cast<uint8_t>(*p))) return false;
  }
  return true;
}

}  // namespace

bool wait_command_prompt(Session& s) {
  WaitStatus status(s);
  for (int attempt = 0; attempt < timing::kWaitAttempts && !cut_off(s); ++attempt) {
    if (read_prompt(s)) return true;
    pause_unless_ending(s, timing::kWaitRetryMs);
    status.update();
  }
  return false;
}

bool wait_bracket(Session& s) {
  WaitStatus status(s);
  for (int attempt = 0; attempt < timing::kWaitAttempts && !cut_off(s); ++attempt) {
    if (read_expected(s, protocol::kOpening)) return true;
    pause_unless_ending(s, timing::kWaitRetryMs);
    status.update();
  }
  return false;
}

Next no_response(Session& s) {
  if (must_end(s)) return ended_early(s);
  print(s, "No Response\n");
  return Next::end(kExitNoResponse);
}

Next expect_prompt(Session& s) {
  return wait_command_prompt(s) ? Next::carry_on() : no_response(s);
}

Next expect_bracket(Session& s) { return wait_bracket(s) ? Next::carry_on() : no_response(s); }

void release_device(Session& s) {
  if (s.port.answers_settings && !s.port.gone) {
    for (const protocol::ReleaseStep& step : protocol::kRelease) {
      send_byte(s, step.byte);
      if (step.pause_ms != 0) s.clock.sleep_ms(step.pause_ms);
    }
  }
  s.serial.close();
}

}  // namespace chipferry
