// The trace reader under libFuzzer: every input is a file given to
// chipferry-sim --replay. It is read as a trace and, when it is one,
// written out again by the trace writer and read back, and played by the
// replay to a program that sends exactly what the trace recorded.
//
// A fault is a crash, a sanitizer report, or a broken promise of
// trace/trace.h and sim/replay.h: a refusal that does not say what is
// wrong; an entry of bytes with none, or more than a line holds, or out of
// the file's order; a trace that the writer, given what the reader found,
// writes so that the reader refuses it or finds other bytes or other
// events; a replay that the program it recorded leaves, or that sends
// other answers than the recording's; and a replay left that does not say
// where.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/printable.h"
#include "sim/replay.h"
#include "trace/trace.h"

namespace {

using namespace chipferry;
using trace::Entry;
using trace::Event;

void check(bool holds) {
  if (!holds) std::abort();
}

void check_entries(const trace::Trace& t) {
  size_t line = 1;
  for (const Entry& e : t.entries) {
    check(e.line > line);
    line = e.line;
    if (e.kind == Entry::Kind::event) {
      check(std::string_view(trace::event_name(e.event)) != "?");
    } else {
      check(!e.data.empty() && e.data.size() <= trace::kBytesPerLine);
    }
  }
}

// What a trace says, as the writer keeps it: the bytes of each direction
// in order, every event with its time, and the order of the two.
struct Said {
  std::string sequence;  ///< '>' or '<' and a byte, or '*' and an event
  std::vector<uint64_t> event_times;
  std::vector<std::string> details;
};

Said said(const trace::Trace& t) {
  Said s;
  for (const Entry& e : t.entries) {
    if (e.kind == Entry::Kind::event) {
      s.sequence += '*';
      s.sequence += static_cast<char>(e.event);
      s.event_times.push_back(e.at_ms);
      s.details.push_back(e.data);
      continue;
    }
    for (char c : e.data) {
      s.sequence += e.kind == Entry::Kind::sent ? trace::kSent : trace::kReceived;
      s.sequence += c;
    }
  }
  return s;
}

// The writer, given what the reader found, writes a trace that reads back
// as the same: the details shown as the writer shows them, a long one cut.
void check_rewritten(const trace::Trace& t) {
  char* buffer = nullptr;
  size_t size = 0;
  std::FILE* file = open_memstream(&buffer, &size);
  check(file != nullptr);
  {
    trace::Writer w;
    w.start(file, "fuzz", "the start", false);
    for (const Entry& e : t.entries) {
      if (e.kind == Entry::Kind::event) {
        w.event(e.at_ms, e.event, e.data);
      } else {
        for (char c : e.data) {
          w.byte(e.kind == Entry::Kind::sent ? trace::kSent : trace::kReceived,
                 static_cast<uint8_t>(c), e.at_ms);
        }
      }
    }
    check(w.finish());
  }
  trace::Trace back;
  std::string error;
  const bool read = trace::parse(std::string_view(buffer, size), back, error);
  std::free(buffer);
  check(read && !back.cut_short);
  const Said before = said(t);
  const Said after = said(back);
  check(after.sequence == before.sequence && after.event_times == before.event_times);
  for (size_t k = 0; k < before.details.size(); ++k) {
    const std::string shown = printable(before.details[k]);
    const std::string& kept = after.details[k];
    const bool cut = kept.size() >= 3 && kept.ends_with("...") &&
                     shown.starts_with(std::string_view(kept).substr(0, kept.size() - 3));
    check(kept == shown || cut);
  }
}

// The session the replay plays: from the first "port opened" to the "port
// closed" after it, or the whole trace without one.
struct Session {
  std::string sent;
  std::string received;
};

Session first_session(const trace::Trace& t) {
  size_t start = 0;
  for (size_t k = 0; k < t.entries.size(); ++k) {
    const Entry& e = t.entries[k];
    if (e.kind == Entry::Kind::event && e.event == Event::port_opened) {
      start = k + 1;
      break;
    }
  }
  Session s;
  for (size_t k = start; k < t.entries.size(); ++k) {
    const Entry& e = t.entries[k];
    if (e.kind == Entry::Kind::event && e.event == Event::port_closed) break;
    if (e.kind == Entry::Kind::sent) s.sent += e.data;
    if (e.kind == Entry::Kind::received) s.received += e.data;
  }
  return s;
}

// Takes every answer the replay has due, however long it makes us wait.
std::string take_answers(sim::Replay& r, uint64_t& now) {
  std::string taken;
  while (const std::optional<uint64_t> due = r.next_ready()) {
    if (*due > now) now = *due;
    taken.push_back(static_cast<char>(r.take()));
  }
  return taken;
}

// The program the trace recorded: it sends each byte once the answers
// before it have come, and closes the port at the end.
void check_replay(const trace::Trace& t, bool paced, size_t wrong_at) {
  const Session recorded = first_session(t);
  sim::Replay r(t, "fuzz", paced);
  if (r.empty()) return;
  uint64_t now = 0;
  r.port_opened(now);
  std::string answers = take_answers(r, now);
  for (size_t i = 0; i < recorded.sent.size(); ++i) {
    r.receive(static_cast<uint8_t>(recorded.sent[i]), now);
    answers += take_answers(r, now);
  }
  r.port_closed(now);
  check(!r.diverged() && r.ended() && r.report().empty());
  check(answers == recorded.received);

  // A program that sends another byte is told where.
  if (recorded.sent.empty()) return;
  sim::Replay left(t, "fuzz", paced);
  now = 0;
  left.port_opened(now);
  const size_t at = wrong_at % recorded.sent.size();
  for (size_t i = 0; i <= at; ++i) {
    take_answers(left, now);
    const auto byte = static_cast<uint8_t>(recorded.sent[i]);
    left.receive(i == at ? static_cast<uint8_t>(byte ^ 0x01) : byte, now);
  }
  check(left.diverged() && !left.next_ready());
  check(left.report().find(" diverged ") != std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  trace::Trace t;
  std::string error;
  if (!trace::parse(text, t, error)) {
    check(!error.empty());
    return 0;
  }
  check_entries(t);
  check_rewritten(t);
  check_replay(t, size % 2 == 0, size / 2);
  return 0;
}
