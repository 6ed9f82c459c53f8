// The record of a serial line: one format for chipferry's traces
// (CHIPFERRY_TRACE) and for chipferry-sim's --log, written by one writer
// and read back by one reader, the replay's and the tests'.
//
// A trace is lines of text, for a person first:
//
//   # chipferry trace, format 1
//   # program: chipferry 0.4
//   # times: seconds since the port was opened; > program to programmer, ...
//   # platform: Linux 6.1.0 x86_64
//   # device: /dev/ttyUSB0 (COM1)
//      0.000 * port opened
//      0.000 > 1B                                               "\x1B"
//      0.000 * pause 50 ms
//      0.050 > 11                                               "\x11"
//      0.051 < 5B 43 5D                                         "[C]"
//      0.111 * read timed out
//
// The first line says what the file is; the "#" lines after it say who
// wrote it, from when the times count, and on what. Each later line is a
// time (seconds with three decimals: a millisecond clock), a mark, and
// what happened: ">" bytes from the program to the programmer, "<" bytes
// the other way, "*" an event that is not a byte. A byte line holds up to
// 16 bytes that followed each other within 2 ms, in hexadecimal; the quoted
// text after them is for people and the reader ignores it. Any other line
// starting with "#" is a note.
//
// The writer hands each piece to the file as it is made, so a run that is
// killed leaves everything up to that moment; its last line may then lack
// its text, and the reader accepts that of the last line only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace chipferry::trace {

constexpr char kSent = '>';      ///< the program to the programmer
constexpr char kReceived = '<';  ///< the programmer to the program
constexpr char kEventMark = '*';
constexpr size_t kBytesPerLine = 16;

/// What can happen on a line besides bytes. The reader knows each by the
/// words the writer gives it; a detail may follow them.
enum class Event : uint8_t {
  port_opened,
  port_not_opened,
  settings_read,
  settings_not_read,
  settings_set,
  settings_refused,
  timeouts_set,
  timeouts_refused,
  pause,
  break_on,
  break_off,
  output_drained,
  output_not_drained,
  output_discarded,
  write_delivered_nothing,
  write_failed,
  read_timed_out,
  read_failed,
  port_closed,
};

/// The words of an event in a trace.
const char* event_name(Event event);

class Writer {
 public:
  Writer() = default;
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;
  ~Writer();

  /// Takes `file`, open for writing, and writes the first lines: the
  /// format, the program that writes, and from when its times count.
  /// `flush_each`: every piece reaches the file at once. A writer never
  /// started takes everything and writes nothing.
  void start(std::FILE* file, std::string_view program, std::string_view epoch, bool flush_each);

  /// A "#" line of the header, or a note among the entries.
  void comment(std::string_view text);
  /// A note with its time.
  void note(uint64_t at_ms, std::string_view text);
  void byte(char direction, uint8_t byte, uint64_t at_ms);
  void event(uint64_t at_ms, Event event, std::string_view detail = {});

  /// Ends the current line of bytes and hands everything to the file.
  void flush();
  /// Hands what is written to the file; the current line goes on.
  void sync();
  /// Ends the record and closes the file. False when anything could not
  /// be written; error() then holds the system's reason (errno).
  bool finish();
  int error() const { return error_; }

 private:
  void put(std::string_view text);
  void end_run();

  std::FILE* file_ = nullptr;
  bool flush_each_ = false;
  int error_ = 0;
  char direction_ = 0;
  uint64_t run_last_ms_ = 0;
  std::string run_;
};

/// Bytes as a byte line shows them, hexadecimal and then the quoted text;
/// for messages about a trace.
std::string describe(std::string_view bytes);

/// One line of a trace that is not a note.
struct Entry {
  enum class Kind : uint8_t { sent, received, event };
  Kind kind = Kind::event;
  Event event = Event::port_opened;  ///< for Kind::event
  uint64_t at_ms = 0;
  size_t line = 0;   ///< its line in the file, from 1
  std::string data;  ///< the bytes; for an event, its detail
};

struct Trace {
  std::vector<std::string> header;  ///< the "#" lines before the first entry, without the "#"
  std::vector<Entry> entries;
  bool cut_short = false;  ///< the last line was never finished
};

/// The largest trace read: a day of a silent line, or dozens of 64 KiB
/// transfers, are a fraction of it.
constexpr size_t kMaxTraceSize = 32u << 20;
/// The longest line read, and written: the writer cuts a longer note or
/// detail and ends its line with "...".
constexpr size_t kMaxLineLength = 1024;

/// Reads a trace from `text`. False, with `error` saying which line and
/// what is wrong with it, when the text is not a trace.
bool parse(std::string_view text, Trace& trace, std::string& error);
/// Reads the trace in the file at `path`; as parse(), and false with
/// `error` when the file cannot be read.
bool load(const std::string& path, Trace& trace, std::string& error);

}  // namespace chipferry::trace
