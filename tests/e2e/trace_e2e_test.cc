// CHIPFERRY_TRACE and chipferry-sim --replay with the real binaries: a
// trace holds what crossed the line, and replays to the same session.
#include <gtest/gtest.h>

#include <string>

#include "tests/e2e/harness.h"
#include "trace/trace.h"

namespace chipferry::e2e {
namespace {

// The bytes of one direction in a trace or in the simulator's log.
std::string bytes_of(const std::string& text, trace::Entry::Kind kind) {
  trace::Trace t;
  std::string error;
  EXPECT_TRUE(trace::parse(text, t, error)) << error;
  std::string bytes;
  for (const trace::Entry& e : t.entries) {
    if (e.kind == kind) bytes += e.data;
  }
  return bytes;
}

// chipferry with its standard error on its standard output.
Process::Setup chipferry_with_stderr(const std::vector<std::string>& env) {
  Process::Setup setup;
  setup.argv = {"/bin/sh", "-c", "exec \"$0\" 2>&1", CHIPFERRY_BIN};
  setup.env = env;
  return setup;
}

TEST(Trace, AFileThatCannotBeCreatedEndsTheRunWithCode9BeforeThePortOpens) {
  TempDir dir;
  Sim sim(dir);
  const std::string path = dir.file("no-such-folder/t.trace");
  Process p(chipferry_with_stderr({"CHIPFERRY_COM1=" + sim.port, "CHIPFERRY_TRACE=" + path}));
  p.close_input();
  EXPECT_EQ(p.wait(), 9);
  EXPECT_EQ(p.out(),
            "chipferry: cannot create the trace file " + path + ": No such file or directory\n");
  sim.stop();
  EXPECT_EQ(sim.log().find("port opened"), std::string::npos) << sim.log();
}

TEST(Trace, ARecordedSessionReplaysToTheSameOutput) {
  TempDir dir;
  const std::string input = "4\n2716\n9\nq\n";
  std::string recorded_out, recorded_log;
  {
    Sim sim(dir, {"--type", "2716"});
    Process p(chipferry_with_stderr(
        {"CHIPFERRY_COM1=" + sim.port, "CHIPFERRY_TRACE=" + dir.file("t.trace")}));
    p.write_input(input);
    p.close_input();
    EXPECT_EQ(p.wait(), 0);
    recorded_out = p.out();
    sim.stop();
    recorded_log = sim.log();
  }
  const std::string recorded = read_file(dir.file("t.trace"));
  // Everything the program sent reached the simulator, and everything it
  // read had come from there.
  using Kind = trace::Entry::Kind;
  EXPECT_EQ(bytes_of(recorded, Kind::sent), bytes_of(recorded_log, Kind::sent));
  EXPECT_EQ(bytes_of(recorded_log, Kind::received).rfind(bytes_of(recorded, Kind::received), 0),
            0u);

  for (const auto& [run_input, code] : {std::pair{input, 0}, {"4\n2716\n5\nq\n", 124}}) {
    SCOPED_TRACE(run_input);
    Process::Setup setup;
    setup.argv = {CHIPFERRY_SIM_BIN,   "--no-pace", "--replay",
                  dir.file("t.trace"), "--run",     CHIPFERRY_BIN};
    Process replay(setup);
    replay.write_input(run_input);
    replay.close_input();
    EXPECT_EQ(replay.wait(), code);
    if (code == 0) {
      EXPECT_EQ(replay.out(), recorded_out);
    }
  }
}

}  // namespace
}  // namespace chipferry::e2e
