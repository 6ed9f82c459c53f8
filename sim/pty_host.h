// The simulated programmer on a pseudo-terminal, in real time: the host
// behind chipferry-sim.
//
// The program opens the terminal end (the path that serial_path() names)
// as its COM1; the host holds the other end and moves bytes between it and
// its peer (sim/peer.h: the Programmer model, or a replay) on a steady
// clock:
//
//  - every byte the program writes goes to Peer::receive, stamped
//    with the time it arrived, or with the time the line would have
//    delivered it when pacing is on (19,200 baud, ten bits a byte). With
//    pacing the host takes bytes off the terminal as a UART does, no more
//    than a 16-byte FIFO ahead of the line; the rest waits in the kernel's
//    queue, where a discard by the program (tcflush) drops it, as on a real
//    port. The program is never held back for the host's own sake: only a
//    full queue makes its writes time out;
//  - every byte the model has ready is written back once it is due, and
//    with pacing no faster than the line would carry it;
//  - a break does not cross a pseudo-terminal, so the model ends an upload
//    on silence instead; the host wakes once after each received byte, as
//    the peer asks, so that the silence is noticed.
//
// A peer that hangs up (Peer::hung_up) has the host close both its ends of
// the pseudo-terminal, the one it serves and the one it held so that the
// line never hangs up: the program's end then fails every read and write
// with EIO, as a serial port whose USB adapter was pulled fails them.
//
// The host sleeps in ppoll() until a byte moves or something falls due;
// an idle line costs no CPU. It also watches who has the terminal end
// open: bytes the model sends while nobody has the port open are lost, as
// on a real serial port, and when the last opener closes it what is left
// unread is dropped, so that the next run starts on a quiet line.
#pragma once

#include <cstdint>
#include <deque>
#include <string>

#include "sim/peer.h"
#include "trace/trace.h"

namespace chipferry::sim {

/// The traffic in the trace format (trace/trace.h), timed from the host's
/// start: one line per run of bytes in one direction, and the events the
/// host can see (the port opened and closed, the program's discards).
/// Lines starting with "#" are notes from the host.
class TrafficLog {
 public:
  /// Starts writing to `path`; false when it cannot be created. A log that
  /// was never opened takes everything and writes nothing.
  bool open(const std::string& path);
  void byte(char direction, uint8_t byte, int64_t at_ns);
  void event(int64_t at_ns, trace::Event event, const std::string& detail = {});
  void note(int64_t at_ns, const std::string& text);
  /// Ends the current run of bytes and hands everything to the file.
  void flush() { writer_.flush(); }
  /// Hands what is written to the file; the current run goes on.
  void sync() { writer_.sync(); }

 private:
  trace::Writer writer_;
};

class PtyHost {
 public:
  PtyHost(Peer& peer, TrafficLog& log, bool pace);
  PtyHost(const PtyHost&) = delete;
  PtyHost& operator=(const PtyHost&) = delete;
  ~PtyHost();

  /// Opens the pseudo-terminal, raw at both ends; false with `error` set
  /// when that fails.
  bool open(std::string& error);
  /// The device the program is to open as its COM1.
  const std::string& serial_path() const { return path_; }

  /// Serves the line until `wake_fd` becomes readable or the peer has
  /// ended, then returns so the caller can see why; call again to go on
  /// serving.
  void serve(int wake_fd);
  /// Takes in at once whatever the program has written and the line has
  /// not delivered yet; for the end, once the program has gone.
  void drain();
  /// Nanoseconds since the host was made, on the steady clock.
  int64_t now_ns() const;

 private:
  struct Arrival {
    uint8_t byte;
    int64_t at_ns;  ///< when the line delivers it
  };

  /// Takes the program's bytes off the terminal: as many as the FIFO has
  /// room for, or with `whole_queue` everything, delivered at once.
  void read_input(int64_t now, bool whole_queue);
  size_t fifo_room() const;
  /// Nothing of the program's is on the line or waiting for it.
  bool line_quiet() const;
  void program_discarded(int64_t now);
  void feed_input(int64_t now);
  void take_all_input(int64_t now);
  void discard_unread();
  void hang_up(int64_t now);
  void watch_openers(int64_t now);
  void stage_output(int64_t now);
  void write_output();
  int64_t next_deadline() const;
  bool port_open() const { return watch_fd_ < 0 || openers_ > 0; }

  Peer& peer_;
  TrafficLog& log_;
  const bool pace_;
  const int64_t start_ns_;

  int master_fd_ = -1;
  int slave_fd_ = -1;  ///< held so that the line never hangs up
  int watch_fd_ = -1;  ///< inotify on the terminal end: who opens and closes it
  std::string path_;
  int openers_ = 0;  ///< open descriptions of the terminal end, ours left out

  std::deque<Arrival> input_;     ///< the FIFO: read from the program, not yet delivered
  int64_t input_free_ns_ = 0;     ///< when the line to the programmer is free
  int64_t silence_wake_ns_ = -1;  ///< a wake-up to notice an upload's end
  std::string output_;            ///< due bytes the terminal has not taken yet
  int64_t output_free_ns_ = 0;    ///< when the line to the program is free
  int64_t log_flushed_ns_ = 0;
};

}  // namespace chipferry::sim
