// The simulated programmer plugged in as the serial device, on a virtual
// clock: the in-process host of the model (or of any other far end, a
// sim::Peer), for the tests and the fuzzer.
//
// A read takes the next byte the far end has ready; if none is ready within
// the read time-out the program set, the clock moves on by that time-out
// and the read comes back empty, exactly as a silent line behaves. A held
// write takes the write time-out. Everything the program does to the line
// (bytes, break on and off, the close) is recorded with its virtual time,
// and the calls can be made to fail, time out or find the line hung up.
// A harness that watches the run is called at the start of every call.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/serial.h"
#include "sim/peer.h"
#include "tests/support/virtual_clock.h"

namespace chipferry::test {

/// One thing the program did to the line.
struct WireEvent {
  enum class Kind { byte, break_on, break_off, closed };
  Kind kind;
  uint8_t byte;
  uint64_t at_ms;
};

class SimSerial : public SerialDevice {
 public:
  SimSerial(sim::Peer& far_end, VirtualClock& clock) : far_end_(far_end), clock_(clock) {}

  OpenResult open(const char* port_name) override;
  bool get_state() override { return get_state_ok; }
  bool set_state() override;
  bool set_timeouts(const Timeouts& timeouts_wanted) override;
  ByteIo write_byte(uint8_t byte) override;
  ByteIo read_byte(uint8_t& byte) override;
  void set_break(bool on) override;
  bool wait_output_drained(uint32_t max_ms) override;
  void discard_output() override;
  void close() override;
  std::string error_text() const override { return error; }
  std::string mark_upload(bool on) override;
  bool upload_marked() override { return upload_mark; }

  /// The bytes the program wrote, in order, breaks left out.
  std::string written() const;

  // Port-level faults.
  OpenResult open_result = OpenResult::ok;
  bool get_state_ok = true;
  bool set_state_ok = true;
  bool set_timeouts_ok = true;
  uint32_t held_writes = 0;      ///< the next writes time out (CTS held off)
  uint32_t failing_writes = 0;   ///< the next write calls fail
  size_t faults_from_byte = 0;   ///< the two above start once this many bytes went out
  uint32_t failing_reads = 0;    ///< the next read calls fail
  uint32_t undrained_waits = 0;  ///< the next drain waits run out (CTS held off)
  uint32_t failing_every = 0;    ///< every this many reads and writes, one fails; 0: none
  /// The read or write of this number, from 1, finds the line hung up, as
  /// does every call after it; 0: none does.
  uint64_t hang_up_at_call = 0;
  int discards = 0;     ///< discard_output calls
  int empty_reads = 0;  ///< reads that came back with nothing, the line silent
  /// Set by the calls that fail; a hang-up of the programmer's
  /// (Faults::hang_up_*) fails every later call, gone.
  std::string error;

  // What the program did.
  std::string opened_name;
  bool line_set = false;  ///< set_state() set the programmer's line
  Timeouts timeouts;      ///< as the program set them; until then, none
  bool is_open = false;
  std::vector<WireEvent> events;
  /// Calls other than close() made after the line went away: a program
  /// that heard it has gone makes none.
  int calls_after_hang_up = 0;

  /// The mark of an upload under way, as a run before this one may have
  /// left it; kept in memory.
  bool upload_mark = false;
  /// When not empty, the mark cannot be kept or dropped, and this is why.
  std::string mark_trouble;
  /// Each change of the mark, with the wire's length at that moment.
  struct MarkChange {
    bool on;
    size_t bytes_written;
  };
  std::vector<MarkChange> mark_changes;

  /// Called first in every read, write, break, drain and discard: the
  /// fuzzer's watch on the run.
  std::function<void()> on_call;

 private:
  sim::Peer& far_end_;
  VirtualClock& clock_;
  /// Counts a read or a write, and says whether it is one that fails.
  bool fails_now();
  /// True, counting the call, once the far end or hang_up_at_call has hung
  /// up the line.
  bool line_gone();
  void watched() const {
    if (on_call) on_call();
  }

  size_t bytes_written_ = 0;
  uint64_t calls_ = 0;  ///< reads and writes
  bool gone_told_ = false;
};

}  // namespace chipferry::test
