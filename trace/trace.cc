#include "trace/trace.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

#include "platform/printable.h"

namespace chipferry::trace {
namespace {

constexpr char kFirstLine[] = "# chipferry trace, format 1";
// Bytes that follow each other closer than this share a line.
constexpr uint64_t kRunGapMs = 2;
constexpr size_t kMaxSecondsDigits = 9;

struct EventWords {
  Event event;
  const char* words;
};

constexpr EventWords kEventWords[] = {
    {Event::port_opened, "port opened"},
    {Event::port_not_opened, "port not opened"},
    {Event::settings_read, "settings read"},
    {Event::settings_not_read, "settings not read"},
    {Event::settings_set, "settings set"},
    {Event::settings_refused, "settings refused"},
    {Event::timeouts_set, "timeouts set"},
    {Event::timeouts_refused, "timeouts refused"},
    {Event::pause, "pause"},
    {Event::break_on, "break on"},
    {Event::break_off, "break off"},
    {Event::output_drained, "output drained"},
    {Event::output_not_drained, "output not drained"},
    {Event::output_discarded, "output discarded"},
    {Event::write_delivered_nothing, "write delivered nothing"},
    {Event::write_failed, "write failed"},
    {Event::read_timed_out, "read timed out"},
    {Event::read_failed, "read failed"},
    {Event::port_closed, "port closed"},
};

std::string stamp(uint64_t ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%4llu.%03llu", static_cast<unsigned long long>(ms / 1000),
                static_cast<unsigned long long>(ms % 1000));
  return text;
}

// The quoted text of a byte line.
std::string quoted(std::string_view bytes) {
  std::string text = "\"";
  for (char c : bytes) {
    const auto b = static_cast<uint8_t>(c);
    switch (b) {
      case '\r':
        text += "\\r";
        break;
      case '\n':
        text += "\\n";
        break;
      case '\\':
        text += "\\\\";
        break;
      case '"':
        text += "\\\"";
        break;
      default:
        if (b >= 0x20 && b < 0x7F) {
          text.push_back(c);
        } else {
          text += "\\x";
          text += hex(b);
        }
    }
  }
  return text + '"';
}

// A line as the writer hands it to the file: never longer than the reader
// reads, however long a note or a detail (a device's name, a server's
// words) is shown. The cut is marked.
std::string fitted(std::string line) {
  constexpr char kCut[] = "...";
  if (line.size() > kMaxLineLength) {
    line.resize(kMaxLineLength - (sizeof kCut - 1));
    line += kCut;
  }
  return line + '\n';
}

// A piece of an untrusted line, safe to put in a message, in quotes.
std::string shown(std::string_view text) {
  constexpr size_t kMaxShown = 40;
  std::string piece = "'";
  piece += printable(text.substr(0, kMaxShown));
  if (text.size() > kMaxShown) piece += "...";
  return piece + "'";
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Where a line of entries stands once its time and its mark are read.
struct Head {
  uint64_t at_ms = 0;
  char mark = 0;
  size_t rest = 0;  ///< where what follows the mark begins
};

// The time and the mark that begin every entry: "   0.050 >". False, with
// `what` saying why, when either is missing or malformed.
bool parse_head(std::string_view line, Head& head, std::string& what) {
  size_t i = 0;
  while (i < line.size() && line[i] == ' ') ++i;
  uint64_t seconds = 0;
  size_t digits = 0;
  for (; i < line.size() && is_digit(line[i]); ++i, ++digits) {
    if (digits == kMaxSecondsDigits) {
      what = "the time has too many digits";
      return false;
    }
    seconds = seconds * 10 + static_cast<uint64_t>(line[i] - '0');
  }
  if (digits == 0 || i + 4 > line.size() || line[i] != '.' || !is_digit(line[i + 1]) ||
      !is_digit(line[i + 2]) || !is_digit(line[i + 3])) {
    what = "no time (seconds with three decimals) at the start of " + shown(line);
    return false;
  }
  uint64_t ms = 0;
  for (size_t d = 1; d <= 3; ++d) ms = ms * 10 + static_cast<uint64_t>(line[i + d] - '0');
  i += 4;
  const bool spaced = i + 2 <= line.size() && line[i] == ' ';
  while (i < line.size() && line[i] == ' ') ++i;
  if (!spaced || i == line.size()) {
    what = "no mark after the time";
    return false;
  }
  head.mark = line[i++];
  if (i < line.size() && line[i] != ' ') {
    what = shown(line.substr(i - 1, line.find(' ', i) - (i - 1))) + " is no mark";
    return false;
  }
  head.at_ms = seconds * 1000 + ms;
  head.rest = i;
  return true;
}

// What follows a "*" mark: the words of an event, then its detail.
bool parse_event(std::string_view rest, Entry& entry, std::string& what) {
  while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
  size_t best = 0;
  for (const EventWords& w : kEventWords) {
    const size_t n = std::strlen(w.words);
    if (n > best && rest.substr(0, n) == w.words && (rest.size() == n || rest[n] == ' ')) {
      best = n;
      entry.event = w.event;
    }
  }
  if (best == 0) {
    what = "no event is called " + shown(rest);
    return false;
  }
  entry.kind = Entry::Kind::event;
  if (best < rest.size()) entry.data = std::string(rest.substr(best + 1));
  return true;
}

// What follows a ">" or "<" mark: bytes in two hexadecimal digits each,
// then the text for people. `cut_short`: the file stops in this line, so
// the bytes before the place where it breaks off count.
bool parse_bytes(std::string_view rest, bool cut_short, Entry& entry, std::string& what) {
  for (size_t i = 0;; i += 2) {
    while (i < rest.size() && rest[i] == ' ') ++i;
    if (i == rest.size() || rest[i] == '"') break;
    const bool whole = i + 2 <= rest.size() && (i + 2 == rest.size() || rest[i + 2] == ' ');
    if (!whole || hex_digit(rest[i]) < 0 || hex_digit(rest[i + 1]) < 0) {
      if (cut_short && !entry.data.empty()) break;
      what =
          shown(rest.substr(i, rest.find(' ', i) - i)) + " is not a byte in two hexadecimal digits";
      return false;
    }
    if (entry.data.size() == kBytesPerLine) {
      what = "more than " + std::to_string(kBytesPerLine) + " bytes";
      return false;
    }
    entry.data.push_back(static_cast<char>(hex_digit(rest[i]) * 16 + hex_digit(rest[i + 1])));
  }
  if (entry.data.empty()) {
    what = "no bytes after the mark";
    return false;
  }
  return true;
}

// One line that is neither blank nor a note. `last_unended`: the file
// stops in this line, so whatever it holds up to where it breaks off
// counts, and a line that is malformed before that is dropped. Returns
// false with `error` when the line is malformed; with `keep` false when
// there is nothing to keep of it.
bool parse_entry(std::string_view line, size_t number, bool last_unended, Entry& entry, bool& keep,
                 std::string& error) {
  keep = false;
  std::string what;
  Head head;
  if (parse_head(line, head, what)) {
    entry = Entry{};
    entry.at_ms = head.at_ms;
    entry.line = number;
    const std::string_view rest = line.substr(head.rest);
    if (head.mark == kEventMark) {
      keep = parse_event(rest, entry, what);
    } else if (head.mark == kSent || head.mark == kReceived) {
      entry.kind = head.mark == kSent ? Entry::Kind::sent : Entry::Kind::received;
      keep = parse_bytes(rest, last_unended, entry, what);
    } else {
      what = shown(std::string_view(&head.mark, 1)) + " is none of > < *";
    }
  }
  if (keep || last_unended) return true;  // the writer was stopped in this line
  error = "line " + std::to_string(number) + ": " + what;
  return false;
}

}  // namespace

const char* event_name(Event event) {
  for (const EventWords& w : kEventWords) {
    if (w.event == event) return w.words;
  }
  return "?";
}

// ---------------------------------------------------------------------------
// Writer

Writer::~Writer() { finish(); }

void Writer::start(std::FILE* file, std::string_view program, std::string_view epoch,
                   bool flush_each) {
  file_ = file;
  flush_each_ = flush_each;
  put(std::string(kFirstLine) + "\n");
  comment("program: " + std::string(program));
  comment("times: seconds since " + std::string(epoch) +
          "; > program to programmer, < programmer to program, * event");
}

void Writer::put(std::string_view text) {
  if (file_ == nullptr) return;
  if (std::fwrite(text.data(), 1, text.size(), file_) != text.size() && error_ == 0) {
    error_ = errno != 0 ? errno : EIO;
  }
  if (flush_each_) sync();
}

void Writer::end_run() {
  if (run_.empty()) return;
  const std::string padding((kBytesPerLine - run_.size()) * 3 + 2, ' ');
  put(padding + quoted(run_) + "\n");
  run_.clear();
}

void Writer::comment(std::string_view text) {
  end_run();
  // A line end or a control character in a note or a detail would break
  // the line apart.
  std::string line = "# ";
  line += printable(text);
  put(fitted(line));
}

void Writer::note(uint64_t at_ms, std::string_view text) {
  end_run();
  std::string line = "#";
  line += stamp(at_ms);
  line += ' ';
  line += printable(text);
  put(fitted(line));
}

void Writer::byte(char direction, uint8_t byte, uint64_t at_ms) {
  if (run_.empty() || direction != direction_ || run_.size() >= kBytesPerLine ||
      at_ms > run_last_ms_ + kRunGapMs) {
    end_run();
    direction_ = direction;
    put(stamp(at_ms) + " " + direction);
  }
  // The line is written as it grows: a run that is killed keeps its bytes.
  std::string piece = " ";
  piece += hex(byte);
  put(piece);
  run_.push_back(static_cast<char>(byte));
  run_last_ms_ = at_ms;
}

void Writer::event(uint64_t at_ms, Event event, std::string_view detail) {
  end_run();
  std::string line = stamp(at_ms) + " " + kEventMark + " " + event_name(event);
  if (!detail.empty()) {
    line += ' ';
    line += printable(detail);
  }
  put(fitted(line));
}

void Writer::flush() {
  end_run();
  sync();
}

void Writer::sync() {
  if (file_ != nullptr && std::fflush(file_) != 0 && error_ == 0) error_ = errno;
}

bool Writer::finish() {
  if (file_ == nullptr) return error_ == 0;
  flush();
  if (std::fclose(file_) != 0 && error_ == 0) error_ = errno;
  file_ = nullptr;
  return error_ == 0;
}

std::string describe(std::string_view bytes) {
  std::string text;
  for (char c : bytes) text += hex(static_cast<uint8_t>(c)) + " ";
  return text + " " + quoted(bytes);
}

// ---------------------------------------------------------------------------
// Reader

bool parse(std::string_view text, Trace& trace, std::string& error) {
  trace = Trace{};
  if (text.size() > kMaxTraceSize) {
    error = "larger than " + std::to_string(kMaxTraceSize >> 20) + " MiB";
    return false;
  }
  size_t number = 0;
  for (size_t at = 0; at < text.size();) {
    const size_t end = text.find('\n', at);
    const bool unended = end == std::string_view::npos;
    std::string_view line = text.substr(at, unended ? std::string_view::npos : end - at);
    at = unended ? text.size() : end + 1;
    ++number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.size() > kMaxLineLength) {
      error = "line " + std::to_string(number) + ": longer than " + std::to_string(kMaxLineLength) +
              " characters";
      return false;
    }
    if (number == 1) {
      if (line != kFirstLine) {
        error = "not a chipferry trace: its first line is not '" + std::string(kFirstLine) + "'";
        return false;
      }
      continue;
    }
    if (line.find_first_not_of(' ') == std::string_view::npos) continue;
    if (line[0] == '#') {
      if (trace.entries.empty()) {
        line.remove_prefix(line.size() > 1 && line[1] == ' ' ? 2 : 1);
        trace.header.emplace_back(line);
      }
      continue;
    }
    Entry entry;
    bool keep = false;
    if (!parse_entry(line, number, unended, entry, keep, error)) return false;
    if (unended) trace.cut_short = true;
    if (keep) trace.entries.push_back(std::move(entry));
  }
  if (number == 0) {
    error = "empty: not a chipferry trace";
    return false;
  }
  return true;
}

bool load(const std::string& path, Trace& trace, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  std::string text;
  char chunk[65536];
  while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
    text.append(chunk, static_cast<size_t>(in.gcount()));
    if (text.size() > kMaxTraceSize) break;  // parse() refuses it
  }
  if (in.bad()) {
    error = path + ": cannot be read";
    return false;
  }
  if (!parse(text, trace, error)) {
    error = path + ": " + error;
    return false;
  }
  return true;
}

}  // namespace chipferry::trace
