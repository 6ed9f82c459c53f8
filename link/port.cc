#include "link/port.h"

#include <algorithm>
#include <string>
#include <string_view>

#include "link/protocol.h"
#include "link/timings.h"
#include "session/console_io.h"
#include "session/ending.h"
#include "session/status.h"

namespace chipferry {

namespace {

// Each line names the port once, by its "%s", and holds no other '%'.
constexpr bool names_the_port_once(std::string_view message) {
  const size_t at = message.find("%s");
  return at != std::string_view::npos && message.find('%') == at &&
         message.find('%', at + 1) == std::string_view::npos;
}

// The table is read by exit code.
constexpr bool well_formed() {
  for (size_t i = 0; i < std::size(kPortFailures); ++i) {
    if (kPortFailures[i].exit_code != static_cast<int>(i) + 1) return false;
    if (!names_the_port_once(kPortFailures[i].message)) return false;
  }
  return true;
}
static_assert(well_formed());

// Standard output says only that the port failed, in the words it always
// had; standard error says why: the device COM1 stood for, the system's
// reason and what the platform suggests, "COM1 (/dev/ttyUSB0) cannot be
// opened: Permission denied; ...".
void explain(Session& s, std::string_view what, const std::string& advice) {
  std::string line = port_and_device(s);
  line += what;
  const std::string reason = s.serial.error_text();
  if (!reason.empty()) line += ": " + reason;
  if (!advice.empty()) line += "; " + advice;
  diagnose(s, line);
}

// Prints the failure's line and says why; its exit code ends the run. A
// port that was not had because the run must end (Ctrl+C during a network
// port's connect or set-up) has no failure to tell: the run ends as asked.
int port_failed(Session& s, int exit_code) {
  if (must_end(s)) return ended_early(s).exit_code;
  const PortFailure& failure = kPortFailures[exit_code - 1];
  std::string message = failure.message;
  message.replace(message.find("%s"), 2, kPortName);
  s.console.write(message);
  std::string clause = failure.clause;
  if (failure.asked != nullptr) clause = clause + " (" + failure.asked + ")";
  explain(s, clause, s.serial.advice());
  return exit_code;
}

}  // namespace

int open_port(Session& s) {
  switch (s.serial.open(kPortName)) {
    case OpenResult::ok:
      break;
    case OpenResult::not_found:
      return port_failed(s, kExitNoPort);
    case OpenResult::failed:
      return port_failed(s, kExitPortAccess);
  }
  s.port.release_registered = true;

  if (!s.serial.get_state()) return port_failed(s, kExitPortGetState);
  s.port.answers_settings = true;
  if (!s.serial.set_state()) return port_failed(s, kExitPortSetState);
  const Timeouts timeouts{timing::kByteTimeoutMs, timing::kByteTimeoutMs};
  if (!s.serial.set_timeouts(timeouts)) return port_failed(s, kExitPortTimeouts);
  return kExitOk;
}

std::string port_and_device(Session& s) {
  std::string text = kPortName;
  const std::string device = s.serial.device_path(kPortName);
  if (!device.empty() && device != kPortName) text += " (" + device + ")";
  return text;
}

namespace {

// After the failure line of the call that showed it: the device has gone,
// said once; or the call failed on a live line, and takes the time-out a
// call that timed out would have taken.
void after_failed_call(Session& s, const ByteIo& io) {
  if (io.gone) {
    s.port.gone = true;
    explain(s, " went away", s.serial.gone_advice());
  } else {
    s.clock.sleep_ms(timing::kByteTimeoutMs);
  }
}

}  // namespace

bool send_byte(Session& s, uint8_t byte) {
  if (s.port.gone) return false;
  const ByteIo io = s.serial.write_byte(byte);
  if (!io.call_ok) {
    print(s, "Couldn't write to Port %s\n", kPortName);
    after_failed_call(s, io);
    return false;
  }
  return io.count == 1;
}

void send_string(Session& s, const char* text) {
  for (const char* p = text; *p != '\0'; ++p) send_byte(s, static_cast<uint8_t>(*p));
}

std::optional<uint8_t> read_byte(Session& s) {
  if (s.port.gone) return std::nullopt;
  uint8_t byte = 0;
  const ByteIo io = s.serial.read_byte(byte);
  if (!io.call_ok) {
    print(s, "Couldn't read Port %s\n", kPortName);
    after_failed_call(s, io);
    return std::nullopt;
  }
  if (io.count == 0) return std::nullopt;
  return byte;
}

namespace {

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

// One attempt: the bytes of `reply` in a row; the first other one, or a
// read that brings nothing, ends it.
bool read_in_a_row(Session& s, std::string_view reply) {
  return std::ranges::all_of(
      reply, [&s](char expected) { return read_byte(s) == static_cast<uint8_t>(expected); });
}

// The one wait for a reply that opens the programmer's answer: attempts
// until one reads `reply`, each failed one followed by a pause.
bool wait_for(Session& s, std::string_view reply) {
  WaitStatus status(s);
  for (int attempt = 0; attempt < timing::kWaitAttempts && !cut_off(s); ++attempt) {
    if (read_in_a_row(s, reply)) return true;
    pause_unless_ending(s, timing::kWaitRetryMs);
    status.update();
  }
  return false;
}

}  // namespace

bool wait_command_prompt(Session& s) { return wait_for(s, protocol::kPrompt); }

bool wait_bracket(Session& s) {
  const char opening = static_cast<char>(protocol::kOpening);
  return wait_for(s, std::string_view(&opening, 1));
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

void hold_break(Session& s) {
  s.serial.set_break(true);
  s.clock.sleep_ms(timing::kBreakMs);
  s.serial.set_break(false);
}

void mark_upload(Session& s, bool on) {
  const std::string trouble = s.serial.mark_upload(on);
  if (trouble.empty() || s.port.mark_trouble_told) return;
  s.port.mark_trouble_told = true;
  diagnose(s, port_and_device(s) + ": the mark of an upload under way: " + trouble +
                  (on ? "; should this run end mid-upload, switch the programmer off and on "
                        "before the next"
                      : "; the next run on the port will first abandon an upload that has "
                        "ended"));
}

void abandon_upload(Session& s) {
  // Bytes the system still queues would reach the programmer after the
  // break, as data of an upload of their own.
  s.serial.discard_output();
  hold_break(s);
  send_byte(s, protocol::kEsc);
  s.clock.sleep_ms(timing::kAbandonUploadMs);
  if (!s.port.gone) mark_upload(s, false);
}

void recover_left_upload(Session& s) {
  if (!s.serial.upload_marked()) return;
  abandon_upload(s);
  for (int i = 0; i < protocol::kMostDroppedAfterRecovery && !cut_off(s) && read_byte(s); ++i) {
  }
}

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
