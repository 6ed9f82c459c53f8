// The programmer's side of a recorded session, played back to the program:
// the peer behind chipferry-sim --replay.
//
// A trace (trace/trace.h) holds, in order, the bytes the program sent and
// the bytes it received. The replay sends each run of received bytes (a
// chunk: one line of the trace) once the program has sent everything that
// came before it in the recording, at the recorded delay after the last of
// those bytes. Every byte the program sends is compared with the
// recording; at the first difference the replay stops answering and keeps
// what it needs to say where.
//
// Timing is the recording's, as far as the program can see it. On a paced
// line the program's bytes reach the far end at line rate, some time after
// the program wrote them; a delay then counts from when the recording's
// line would have delivered the byte, so that the wait is not paid twice.
//
// A discard (an abandoned upload) drops what the line had not taken, so
// the bytes the program wrote before a recorded discard may arrive only in
// part; when the host reports the program's discard, the replay goes on
// from the recorded one.
//
// The replay diverges when the program sends a byte other than the
// recording's, sends one before the programmer's answer that preceded it
// was sent, sends more than the recording holds, closes the port early, or
// sends nothing for kStallMs longer than in the recording.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/peer.h"
#include "trace/trace.h"

namespace chipferry::sim {

class Replay : public Peer {
 public:
  /// How much longer than in the recording the program may stay silent.
  static constexpr uint64_t kStallMs = 30000;
  /// After a difference, what the program sends this long (up to a line's
  /// worth) goes into the report, so that it shows more than one byte.
  static constexpr uint64_t kContextMs = 100;

  /// Plays the first session of `trace` (from its first "port opened" to
  /// the "port closed" after it). `name` names the trace in the report;
  /// `paced`: the host moves the program's bytes at line rate.
  Replay(const trace::Trace& trace, std::string name, bool paced);

  /// The recording holds nothing to play.
  bool empty() const { return sent_.empty() && chunks_.empty(); }

  void receive(uint8_t byte, uint64_t now_ms) override;
  void advance(uint64_t /*now_ms*/) override {}
  std::optional<uint64_t> next_ready() const override;
  uint8_t take() override;
  void drop_output() override {}
  std::optional<uint64_t> timer_ms() const override;
  void on_timer(uint64_t now_ms) override;
  void port_opened(uint64_t now_ms) override;
  void port_closed(uint64_t now_ms) override;
  void program_discarded(size_t still_to_come, uint64_t now_ms) override;
  /// Diverged (and the report is complete), or the program has closed the
  /// port after the whole recording.
  bool ended() const override { return finished_ || (diverged_ && context_done_); }

  bool diverged() const { return diverged_; }
  /// Where the program left the recording, in a few lines for standard
  /// error; empty while it has not.
  std::string report() const;

 private:
  struct Sent {
    uint8_t byte;
    uint64_t at_ms;
    uint64_t delivered_ms;  ///< when the recording's line would have delivered it
    uint64_t wait_ms;       ///< the recording's silence before it
    size_t line;
    size_t column;  ///< its place among the bytes of its line, from 0
  };
  struct Chunk {
    std::string bytes;
    size_t after;  ///< program bytes that came before it
    uint64_t delay_ms;
    uint64_t at_ms;
    size_t line;
  };

  void diverge(uint64_t now_ms, std::string why);
  /// Sets when the current chunk may go, once the bytes before it have come.
  void schedule();
  bool sending() const { return chunk_ < chunks_.size() && due_ms_.has_value(); }

  std::string name_;
  std::vector<Sent> sent_;
  std::vector<Chunk> chunks_;
  std::vector<size_t> discards_;  ///< places in sent_ where the program discarded
  uint64_t recorded_open_ms_ = 0;
  size_t last_line_ = 0;  ///< the session's last line in the trace

  bool opened_ = false;
  uint64_t opened_ms_ = 0;
  size_t matched_ = 0;        ///< program bytes received as recorded
  uint64_t matched_ms_ = 0;   ///< when the last of them came (or the port opened)
  uint64_t activity_ms_ = 0;  ///< the last byte either way
  size_t chunk_ = 0;          ///< the chunk being sent, or next
  size_t chunk_taken_ = 0;    ///< bytes of it sent
  std::optional<uint64_t> due_ms_;
  std::optional<size_t> jump_after_;  ///< bytes still to come before a discard's place
  size_t jump_to_ = 0;
  bool finished_ = false;

  bool diverged_ = false;
  bool context_done_ = false;  ///< received_ holds all the report will show
  uint64_t diverged_ms_ = 0;
  std::string why_;
  std::string received_;  ///< what the program sent from the difference on
};

}  // namespace chipferry::sim
