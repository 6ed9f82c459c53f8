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

bool SimSerial::line_gone() {
  if (!programmer_.hung_up()) return false;
  // The call that finds the line gone is fine; any after it is not.
  if (gone_told_) ++calls_after_hang_up;
  gone_told_ = true;
  error = "Input/output error";
  return true;
}

ByteIo SimSerial::write_byte(uint8_t byte) {
  if (line_gone()) return {false, 0, true};
  const bool faults_due = bytes_written_ >= faults_from_byte;
  if (faults_due && failing_writes > 0) {
    --failing_writes;
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
  programmer_.receive(byte, clock_.now);
  return {true, 1};
}

ByteIo SimSerial::read_byte(uint8_t& byte) {
  if (line_gone()) return {false, 0, true};
  if (failing_reads > 0) {
    --failing_reads;
    error = "Read fault";
    return {false, 0};
  }
  programmer_.advance(clock_.now);
  const auto ready = programmer_.next_ready();
  if (ready && *ready <= clock_.now + timeouts.read_ms) {
    if (*ready > clock_.now) clock_.now = *ready;
    byte = programmer_.take();
    return {true, 1};
  }
  clock_.now += timeouts.read_ms;
  programmer_.advance(clock_.now);
  return {true, 0};
}

void SimSerial::set_break(bool on) {
  if (line_gone()) return;
  events.push_back({on ? WireEvent::Kind::break_on : WireEvent::Kind::break_off, 0, clock_.now});
  programmer_.set_break(on, clock_.now);
}

bool SimSerial::wait_output_drained(uint32_t max_ms) {
  if (line_gone() || undrained_waits == 0) return true;
  --undrained_waits;
  clock_.now += max_ms;
  return false;
}

void SimSerial::discard_output() {
  if (!line_gone()) ++discards;
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
