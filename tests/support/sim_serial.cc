#include "tests/support/sim_serial.h"

namespace chipferry::test {

OpenResult SimSerial::open(const char* port_name) {
  opened_name = port_name;
  is_open = open_result == OpenResult::ok;
  return open_result;
}

bool SimSerial::set_state() {
  if (!set_state_ok) return false;
  line_set = true;
  return true;
}

bool SimSerial::set_timeouts(const Timeouts& timeouts_wanted) {
  if (!set_timeouts_ok) return false;
  timeouts = timeouts_wanted;
  return true;
}

bool SimSerial::fails_now() {
  ++calls_;
  return failing_every != 0 && calls_ % failing_every == 0;
}

bool SimSerial::line_gone() {
  const bool called_off = hang_up_at_call != 0 && calls_ >= hang_up_at_call;
  if (!far_end_.hung_up() && !called_off) return false;
  // The call that finds the line gone is fine; any after it is not.
  if (gone_told_) ++calls_after_hang_up;
  gone_told_ = true;
  error = "Input/output error";
  return true;
}

ByteIo SimSerial::write_byte(uint8_t byte) {
  watched();
  bool fails = fails_now();
  if (line_gone()) return {false, 0, true};
  const bool faults_due = bytes_written_ >= faults_from_byte;
  if (!fails && faults_due && failing_writes > 0) {
    --failing_writes;
    fails = true;
  }
  if (fails) {
    error = "Write fault";
    return {false, 0};
  }
  if (faults_due && held_writes > 0) {
    --held_writes;
    clock_.now += timeouts.write_ms;
    return {true, 0};
  }
  ++bytes_written_;
  events.push_back({WireEvent::Kind::byte, byte, clock_.now});
  far_end_.receive(byte, clock_.now);
  return {true, 1};
}

ByteIo SimSerial::read_byte(uint8_t& byte) {
  watched();
  bool fails = fails_now();
  if (line_gone()) return {false, 0, true};
  if (!fails && failing_reads > 0) {
    --failing_reads;
    fails = true;
  }
  if (fails) {
    error = "Read fault";
    return {false, 0};
  }
  far_end_.advance(clock_.now);
  const auto ready = far_end_.next_ready();
  if (ready && *ready <= clock_.now + timeouts.read_ms) {
    if (*ready > clock_.now) clock_.now = *ready;
    byte = far_end_.take();
    return {true, 1};
  }
  clock_.now += timeouts.read_ms;
  far_end_.advance(clock_.now);
  ++empty_reads;
  return {true, 0};
}

void SimSerial::set_break(bool on) {
  watched();
  if (line_gone()) return;
  events.push_back({on ? WireEvent::Kind::break_on : WireEvent::Kind::break_off, 0, clock_.now});
  far_end_.set_break(on, clock_.now);
}

bool SimSerial::wait_output_drained(uint32_t max_ms) {
  watched();
  if (line_gone() || undrained_waits == 0) return true;
  --undrained_waits;
  clock_.now += max_ms;
  return false;
}

void SimSerial::discard_output() {
  watched();
  if (!line_gone()) ++discards;
}

std::string SimSerial::mark_upload(bool on) {
  mark_changes.push_back({on, bytes_written_});
  if (!mark_trouble.empty()) return mark_trouble;
  upload_mark = on;
  return {};
}

void SimSerial::close() {
  events.push_back({WireEvent::Kind::closed, 0, clock_.now});
  is_open = false;
}

std::string SimSerial::written() const {
  std::string bytes;
  for (const WireEvent& e : events) {
    if (e.kind == WireEvent::Kind::byte) bytes.push_back(static_cast<char>(e.byte));
  }
  return bytes;
}

}  // namespace chipferry::test
