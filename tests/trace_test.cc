// The trace: read back as it was written, refused with a reason when it is
// not one, and recorded by a layer that sees everything the program does
// on the line and changes none of it.
#include "trace/trace.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/program.h"
#include "platform/backends.h"
#include "tests/support/bench.h"
#include "tests/support/scripted_console.h"
#include "tests/support/sim_serial.h"
#include "tests/support/temp_dir.h"
#include "trace/recorder.h"

namespace chipferry::test {
namespace {

using trace::Entry;
using trace::Event;

const std::string kHead = "# chipferry trace, format 1\n";

std::string text_file(const std::string& path) {
  const Bytes bytes = read_file(path);
  return std::string(bytes.begin(), bytes.end());
}

std::string repeat_text(const std::string& text, size_t times) {
  std::string all;
  for (size_t i = 0; i < times; ++i) all += text;
  return all;
}

std::string described(const Entry& e) {
  const char* kinds[] = {"sent", "received", "event"};
  std::string text = std::to_string(e.at_ms) + " " + kinds[static_cast<int>(e.kind)] + " ";
  if (e.kind == Entry::Kind::event) return text + trace::event_name(e.event) + "|" + e.data;
  return text + trace::describe(e.data);
}

TEST(TraceFormat, ReadsBackWhatItWrote) {
  TempDir dir;
  const std::string path = dir / "t";
  {
    trace::Writer w;
    w.start(std::fopen(path.c_str(), "wb"), "test 1", "the start", false);
    w.comment("platform: " + std::string(2000, 'p'));
    w.comment("device: x");
    w.event(0, Event::port_opened);
    for (char c : std::string("S900000 01\r")) w.byte(trace::kSent, static_cast<uint8_t>(c), 5);
    // More than 2 ms apart, or more than 16, and the bytes take a new line.
    w.byte(trace::kReceived, '[', 6);
    w.byte(trace::kReceived, 'C', 8);
    w.byte(trace::kReceived, ']', 11);
    for (int i = 0; i < 20; ++i) w.byte(trace::kReceived, 0xFF, 20);
    // A note ends the line of bytes before it, or it could not be read back.
    w.note(21, "right after bytes");
    w.event(1234567, Event::pause, "75 ms");
    w.note(1234600, "a note\nwith a line end");
    // However long a detail is shown, its line is one the reader reads.
    w.event(1234601, Event::read_failed, std::string(600, '\x01'));
    w.event(1234601, Event::port_closed);
    EXPECT_TRUE(w.finish());
  }
  const std::string text = text_file(path);
  EXPECT_NE(text.find("\n   0.005 > 53 39 30 30 30 30 30 20 30 31 0D                 "
                      "\"S900000 01\\r\"\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("\"\n#   0.021 right after bytes\n1234.567 * pause 75 ms\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("\n1234.567 * pause 75 ms\n#1234.600 a note^Jwith a line end\n"),
            std::string::npos)
      << text;

  trace::Trace t;
  std::string error;
  ASSERT_TRUE(trace::load(path, t, error)) << error;
  EXPECT_EQ(t.header.front(), "program: test 1");
  EXPECT_EQ(t.header.back(), "device: x");
  std::vector<std::string> entries;
  for (const Entry& e : t.entries) entries.push_back(described(e));
  const std::vector<std::string> expected = {
      "0 event port opened|",
      "5 sent " + trace::describe("S900000 01\r"),
      "6 received " + trace::describe("[C"),
      "11 received " + trace::describe("]"),
      "20 received " + trace::describe(std::string(16, '\xFF')),
      "20 received " + trace::describe(std::string(4, '\xFF')),
      "1234567 event pause|75 ms",
      "1234601 event read failed|" + repeat_text("^A", 499) + "...",
      "1234601 event port closed|",
  };
  EXPECT_EQ(entries, expected);
  EXPECT_FALSE(t.cut_short);
}

TEST(TraceFormat, RefusesWhatIsNoTraceAndReadsWhatAKilledWriterLeft) {
  struct Bad {
    std::string text;
    const char* error;
  };
  const Bad bad[] = {
      {"", "empty"},
      {"# chipferry-sim traffic\n", "not a chipferry trace"},
      {kHead + "> 41\n", "line 2: no time"},
      {kHead + "\n   1.5 > 41\n", "line 3: no time"},
      {kHead + "1234567890.000 > 41\n", "line 2: the time has too many digits"},
      {kHead + "   0.000 ? 41\n", "line 2: '?' is none of > < *"},
      {kHead + "   0.000 >> 41\n", "line 2: '>>' is no mark"},
      {kHead + "   0.000 > 4G\n", "line 2: '4G' is not a byte"},
      {kHead + "   0.000 > 414\n", "line 2: '414' is not a byte"},
      {kHead + "   0.000 > 41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 50 51\n",
       "line 2: more than 16 bytes"},
      {kHead + "   0.000 <  \"x\"\n", "line 2: no bytes"},
      {kHead + "   0.000 * port exploded\n", "line 2: no event is called 'port exploded'"},
      // What the file says is shown, never obeyed.
      {kHead + "   0.000 * \x1b]0;owned\x07\n", "no event is called '^[]0;owned^G'"},
      {kHead + std::string(1025, ' ') + "\n", "line 2: longer than 1024 characters"},
  };
  for (const Bad& b : bad) {
    SCOPED_TRACE(b.text);
    trace::Trace t;
    std::string error;
    EXPECT_FALSE(trace::parse(b.text, t, error));
    EXPECT_NE(error.find(b.error), std::string::npos) << error;
  }

  // A writer stopped mid-line leaves it without its end; the bytes count.
  struct Cut {
    std::string text;
    std::string last_bytes;  ///< of the last entry kept
    size_t entries;
  };
  const Cut cut[] = {
      {kHead + "   0.000 > 41 42\r\n   0.001 < 43 4", "C", 2},
      {kHead + "   0.000 > 41 42\n   0.001 < 43 44", "CD", 2},
      {kHead + "   0.000 > 41 42\n   0.0", "AB", 1},
      {kHead + "   0.000 > 41 42\n   0.001 * port clo", "AB", 1},
  };
  for (const Cut& c : cut) {
    SCOPED_TRACE(c.text);
    trace::Trace t;
    std::string error;
    ASSERT_TRUE(trace::parse(c.text, t, error)) << error;
    EXPECT_TRUE(t.cut_short);
    ASSERT_EQ(t.entries.size(), c.entries);
    EXPECT_EQ(t.entries.back().data, c.last_bytes);
  }
}

std::string wire_text(const std::vector<WireEvent>& events) {
  std::string text;
  for (const WireEvent& e : events) {
    text += std::to_string(static_cast<int>(e.kind)) + ":" + std::to_string(e.byte) + "@" +
            std::to_string(e.at_ms) + " ";
  }
  return text;
}

// An upload with one write held back, on the virtual clock: the same run
// bare and through the recording layer.
TEST(TraceRecording, SeesEverythingOnTheLineAndChangesNothing) {
  TempDir dir;
  Bytes image(2048);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7 + i / 256);
  write_file(dir / "in.bin", image);
  // The download ends on its empty reads, which the trace must show.
  const std::string input = "1\n" + dir / "in.bin" + "\n2\n" + dir / "out.bin" + "\nq\n";

  Bench bare;
  bare.serial.held_writes = 1;
  bare.serial.faults_from_byte = 40;
  const int bare_code = bare.run(input);

  sim::Programmer programmer;
  auto clock = std::make_unique<VirtualClock>();
  auto serial = std::make_unique<SimSerial>(programmer, *clock);
  auto console = std::make_unique<ScriptedConsole>(*clock);
  VirtualClock& virtual_clock = *clock;
  SimSerial& sim_serial = *serial;
  ScriptedConsole& scripted = *console;
  sim_serial.held_writes = 1;
  sim_serial.faults_from_byte = 40;
  scripted.input = input;
  Backends backends;
  backends.serial = std::move(serial);
  backends.console = std::move(console);
  backends.clock = std::move(clock);
  std::string error;
  ASSERT_TRUE(trace::record(backends, dir / "t", error)) << error;
  Session session(*backends.serial, *backends.console, *backends.clock);
  EXPECT_EQ(run_program(session), bare_code);
  EXPECT_EQ(scripted.out, bare.console.out);
  EXPECT_EQ(wire_text(sim_serial.events), wire_text(bare.serial.events));
  EXPECT_EQ(virtual_clock.sleeps, bare.clock.sleeps);
  const std::string written = sim_serial.written();
  const int empty_reads = sim_serial.empty_reads;
  const std::vector<uint32_t> sleeps = virtual_clock.sleeps;
  std::vector<uint64_t> breaks;
  for (const WireEvent& e : sim_serial.events) {
    if (e.kind != WireEvent::Kind::byte) breaks.push_back(e.at_ms);
  }
  backends = Backends{};  // the file is complete once the backends are gone

  trace::Trace t;
  ASSERT_TRUE(trace::load(dir / "t", t, error)) << error;
  std::string sent;
  std::vector<uint32_t> pauses;
  std::vector<uint64_t> trace_breaks;
  int held = 0;
  int timed_out = 0;
  for (const Entry& e : t.entries) {
    if (e.kind == Entry::Kind::sent) sent += e.data;
    if (e.kind != Entry::Kind::event) continue;
    if (e.event == Event::pause) pauses.push_back(static_cast<uint32_t>(std::stoul(e.data)));
    if (e.event == Event::break_on || e.event == Event::break_off ||
        e.event == Event::port_closed) {
      trace_breaks.push_back(e.at_ms);
    }
    if (e.event == Event::write_delivered_nothing) ++held;
    if (e.event == Event::read_timed_out) ++timed_out;
  }
  EXPECT_EQ(sent, written);
  EXPECT_EQ(pauses, sleeps);
  // The virtual clock starts at 0 with the port's opening.
  EXPECT_EQ(trace_breaks, breaks);
  EXPECT_EQ(held, 1);
  EXPECT_GE(empty_reads, 26);  // the download's end, at the least
  EXPECT_EQ(timed_out, empty_reads);
  EXPECT_EQ(t.entries.front().event, Event::port_opened);
  EXPECT_EQ(t.entries.back().event, Event::port_closed);
}

// A device that knows what the user can do about its failures.
class AdvisingSerial : public SimSerial {
 public:
  using SimSerial::SimSerial;
  std::string advice() const override { return "advice on " + error; }
  std::string gone_advice() const override { return "advice on a device gone"; }
};

struct PortRun {
  int code = -1;
  std::string out;
  std::vector<std::string> why;
};

PortRun run_port_failure(const std::function<void(SimSerial&)>& fail, const std::string& trace) {
  sim::Programmer programmer;
  Backends backends;
  backends.clock = std::make_unique<VirtualClock>();
  auto serial =
      std::make_unique<AdvisingSerial>(programmer, static_cast<VirtualClock&>(*backends.clock));
  fail(*serial);
  backends.serial = std::move(serial);
  auto console = std::make_unique<ScriptedConsole>(static_cast<VirtualClock&>(*backends.clock));
  ScriptedConsole& scripted = *console;
  scripted.input = "q\n";
  backends.console = std::move(console);
  std::string error;
  if (!trace.empty()) {
    EXPECT_TRUE(trace::record(backends, trace, error)) << error;
  }
  Session session(*backends.serial, *backends.console, *backends.clock);
  PortRun run;
  run.code = run_program(session);
  run.out = scripted.out;
  run.why = scripted.diagnostics;
  return run;
}

// A user records a trace to report a port that fails: recorded, the run
// fails as it does bare, with the same exit code, line, reason and advice.
TEST(TraceRecording, PortFailuresEndAsTheyDoWithoutATrace) {
  const struct {
    const char* name;
    std::function<void(SimSerial&)> fail;
    int code;
  } cases[] = {
      {"missing",
       [](SimSerial& s) {
         s.open_result = OpenResult::not_found;
         s.error = "No such file or directory";
       },
       1},
      {"refused",
       [](SimSerial& s) {
         s.open_result = OpenResult::failed;
         s.error = "Permission denied";
       },
       2},
      {"no settings",
       [](SimSerial& s) {
         s.get_state_ok = false;
         s.error = "Inappropriate ioctl for device";
       },
       3},
      {"gone", [](SimSerial& s) { s.hang_up_at_call = 1; }, 6},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const PortRun bare = run_port_failure(c.fail, "");
    const PortRun traced = run_port_failure(c.fail, dir / "t");
    EXPECT_EQ(bare.code, c.code);
    EXPECT_EQ(traced.code, bare.code);
    EXPECT_EQ(traced.out, bare.out);
    ASSERT_EQ(bare.why.size(), 1u);
    EXPECT_NE(bare.why[0].find("advice on "), std::string::npos) << bare.why[0];
    EXPECT_EQ(traced.why, bare.why);
  }
}

TEST(TraceRecording, AFileThatCannotBeCreatedLeavesTheBackendsAlone) {
  sim::Programmer programmer;
  Backends backends;
  backends.clock = std::make_unique<VirtualClock>();
  backends.serial =
      std::make_unique<SimSerial>(programmer, static_cast<VirtualClock&>(*backends.clock));
  SerialDevice* serial = backends.serial.get();
  std::string error;
  EXPECT_FALSE(trace::record(backends, "/nonexistent/dir/t", error));
  EXPECT_EQ(error, "cannot create the trace file /nonexistent/dir/t: No such file or directory");
  EXPECT_EQ(backends.serial.get(), serial);
  EXPECT_NE(backends.clock.get(), nullptr);
}

// The name comes from the environment: a terminal shows it, never obeys it.
TEST(TraceRecording, AFileNameThatCannotBeCreatedIsShownNotObeyed) {
  Backends backends;
  std::string error;
  EXPECT_FALSE(trace::record(backends, "/nonexistent/\x1b]0;owned\x07", error));
  EXPECT_EQ(error,
            "cannot create the trace file /nonexistent/^[]0;owned^G: No such file or directory");
}

}  // namespace
}  // namespace chipferry::test
