// The replay on its own, on made-up times: when it answers, what it lets
// pass, and what it says when the program leaves the recording.
#include "sim/replay.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "trace/trace.h"

namespace chipferry::test {
namespace {

using sim::Replay;

trace::Trace parsed(const std::string& body) {
  trace::Trace t;
  std::string error;
  EXPECT_TRUE(trace::parse("# chipferry trace, format 1\n" + body, t, error)) << error;
  return t;
}

// Line 2 on: a type query, its answer in two reads, a command.
const char kSession[] =
    "   0.000 * port opened\n"
    "   0.010 > 52 0D\n"
    "   0.010 * pause 100 ms\n"
    "   0.110 < 5B 30 30 31 36 5D\n"
    "   0.185 < 5B 43 5D\n"
    "   0.185 > 50 43 0D\n"
    "   0.300 * port closed\n";

void send(Replay& r, const std::string& bytes, uint64_t at_ms) {
  for (char c : bytes) r.receive(static_cast<uint8_t>(c), at_ms);
}

std::string take_due(Replay& r, uint64_t now_ms) {
  std::string out;
  for (auto due = r.next_ready(); due && *due <= now_ms; due = r.next_ready()) {
    out.push_back(static_cast<char>(r.take()));
  }
  return out;
}

TEST(Replay, AnswersAtTheRecordedDelayOnceTheProgramHasSentWhatCameFirst) {
  Replay r(parsed(kSession), "t", false);
  r.port_opened(1000);
  EXPECT_FALSE(r.next_ready());
  send(r, "R", 1020);
  EXPECT_FALSE(r.next_ready());
  send(r, "\r", 1021);
  EXPECT_EQ(take_due(r, 1120), "");
  EXPECT_EQ(take_due(r, 1121), "[0016]");
  EXPECT_EQ(r.next_ready(), 1196u);  // 175 ms after the program's last byte
  EXPECT_EQ(take_due(r, 1500), "[C]");
  send(r, "PC\r", 1600);
  EXPECT_FALSE(r.ended());
  r.port_closed(1700);
  EXPECT_TRUE(r.ended());
  EXPECT_FALSE(r.diverged()) << r.report();

  // On a paced line 32 bytes take 16 ms to arrive; the wait after them
  // counts from their arrival.
  const std::string upload =
      "   0.000 * port opened\n"
      "   0.000 > 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00\n"
      "   0.000 > 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00\n"
      "   0.700 < 5B 43 5D\n";
  for (const bool paced : {false, true}) {
    Replay u(parsed(upload), "t", paced);
    u.port_opened(0);
    send(u, std::string(32, '\0'), 50);
    EXPECT_EQ(u.next_ready(), paced ? 50u + 700 - 16 : 50u + 700);
  }
}

TEST(Replay, StopsAnsweringAndSaysWhereTheProgramLeftTheRecording) {
  struct Case {
    const char* name;
    std::function<void(Replay&)> act;
    std::vector<std::string> report;
  };
  const Case cases[] = {
      {"another byte",
       [](Replay& r) {
         send(r, "RX", 1010);
         send(r, "Y\r", 1050);
       },
       {"diverged 0.010 s after the port was opened: the program sent another byte",
        "byte 2 from the program, line 3 of the trace (recorded at 0.010 s), byte 2 of that line",
        "expected: 0D  \"\\r\"", "received: 58 59 0D  \"XY\\r\""}},
      {"too soon",
       [](Replay& r) { send(r, "R\rP", 1010); },
       {"the program went on before the programmer's answer at line 5 (5B 30 30 31 36 5D  "
        "\"[0016]\") had been sent",
        "expected: 50 43 0D  \"PC\\r\"", "received: 50  \"P\""}},
      {"too much",
       [](Replay& r) {
         send(r, "R\r", 1010);
         take_due(r, 2000);
         send(r, "PC\rSC\r", 2100);
       },
       {"the program sent more than the recording holds", "line 8 of the trace",
        "expected: nothing more", "received: 53 43 0D  \"SC\\r\""}},
      {"closed early",
       [](Replay& r) {
         send(r, "R", 1010);
         r.port_closed(1050);
       },
       {"closed the port before the end of the recording", "received: nothing"}},
      {"silent",
       [](Replay& r) {
         send(r, "R\r", 1010);
         take_due(r, 2000);
         ASSERT_TRUE(r.timer_ms());
         r.on_timer(*r.timer_ms());
       },
       {"the program has sent nothing for 30.000 s", "expected: 50 43 0D"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Replay r(parsed(kSession), "t", false);
    r.port_opened(1000);
    c.act(r);
    EXPECT_TRUE(r.diverged());
    // What the program sends for a moment after the difference is kept.
    if (const auto context_until = r.timer_ms()) r.on_timer(*context_until);
    EXPECT_TRUE(r.ended());
    EXPECT_FALSE(r.next_ready());
    const std::string report = r.report();
    for (const std::string& part : c.report) {
      EXPECT_NE(report.find(part), std::string::npos) << part << "\nin:\n" << report;
    }
  }
}

// An abandoned upload: what the program had written when it discarded
// its output reached the line only in part.
TEST(Replay, BytesDroppedByARecordedDiscardMayBeMissing) {
  const std::string abandoned =
      "   0.000 * port opened\n"
      "   0.000 > 53 36 20 30 0D\n"
      "   0.100 > 01 02 03 04 05 06 07 08\n"
      "   0.200 * output discarded\n"
      "   0.700 > 1B\n"
      "   1.200 < 5B 43 5D\n";
  for (const bool discarded : {true, false}) {
    SCOPED_TRACE(discarded);
    Replay r(parsed(abandoned), "t", true);
    r.port_opened(0);
    send(r, "S6 0\r\x01\x02\x03", 100);
    // One byte was still in the line's FIFO.
    if (discarded) r.program_discarded(1, 200);
    send(r, "\x04\x1b", 700);
    EXPECT_EQ(r.diverged(), !discarded) << r.report();
    EXPECT_EQ(take_due(r, 2000), discarded ? "[C]" : "");
  }

  // Nothing was left on the line: the answer recorded right after the
  // discard is due from the discard on.
  const std::string answered =
      "   0.000 * port opened\n"
      "   0.000 > 53 36 20 30 0D\n"
      "   0.100 > 01 02 03 04 05 06 07 08\n"
      "   0.200 * output discarded\n"
      "   0.700 < 5B 43 5D\n";
  Replay r(parsed(answered), "t", false);
  r.port_opened(0);
  send(r, "S6 0\r\x01\x02", 100);
  r.program_discarded(0, 200);
  // As recorded, 600 ms after the last byte the program wrote.
  EXPECT_EQ(r.next_ready(), 200u + 600);
  EXPECT_EQ(take_due(r, 2000), "[C]");
  EXPECT_FALSE(r.diverged()) << r.report();
}

}  // namespace
}  // namespace chipferry::test
