// The far end of the line, as a host drives it: the model of the
// programmer (sim/programmer.h), or the replay of a recorded session
// (sim/replay.h).
//
// The host owns the clock and the line. It hands the peer each byte the
// program sent, at the time the line delivered it, and takes from it each
// byte it has for the program once that byte is due. A peer never reads a
// clock of its own; every call says what time it is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace chipferry::sim {

class Peer {
 public:
  virtual ~Peer() = default;

  /// A byte from the program, delivered by the line at `now_ms`.
  virtual void receive(uint8_t byte, uint64_t now_ms) = 0;
  /// Nothing from the program is on its way up to `now_ms`.
  virtual void advance(uint64_t now_ms) = 0;
  /// When the next byte for the program may go; none when nothing is due.
  virtual std::optional<uint64_t> next_ready() const = 0;
  virtual uint8_t take() = 0;
  /// Drops everything not yet taken.
  virtual void drop_output() = 0;
  /// The program raised or cleared a break; only a host whose line
  /// carries one (the tests' in-process line) tells.
  virtual void set_break(bool /*on*/, uint64_t /*now_ms*/) {}

  /// How long after each received byte the host is to call advance()
  /// again, though nothing else falls due; none: only when something does.
  virtual std::optional<uint32_t> quiet_check_ms() const { return std::nullopt; }
  /// When the peer wants on_timer() called, whatever the line does.
  virtual std::optional<uint64_t> timer_ms() const { return std::nullopt; }
  virtual void on_timer(uint64_t /*now_ms*/) {}

  /// The program opened or closed its end of the line.
  virtual void port_opened(uint64_t /*now_ms*/) {}
  virtual void port_closed(uint64_t /*now_ms*/) {}
  /// The program dropped what it had written and the line had not taken;
  /// `still_to_come` bytes written before the drop are yet to be delivered.
  virtual void program_discarded(size_t /*still_to_come*/, uint64_t /*now_ms*/) {}

  /// The peer has nothing more to do; the host stops serving.
  virtual bool ended() const { return false; }
  /// The line has gone, as when the USB adapter is pulled: the host closes
  /// its end of it, so that the program's calls fail as on a dead port.
  /// A peer that hangs up has also ended.
  virtual bool hung_up() const { return false; }
};

}  // namespace chipferry::sim
