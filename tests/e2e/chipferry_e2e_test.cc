// The real chipferry against the real chipferry-sim, each a process of its
// own, over pseudo-terminals.
#include <gtest/gtest.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include "tests/e2e/harness.h"

namespace chipferry::test::e2e {
namespace {

TEST(Chipferry, StartsUpAndQuitsOnOneSimulatorRunAfterRun) {
  TempDir dir;
  Sim sim(dir);
  // q, Q and the end of piped input all end the run with 0; the simulator
  // serves one run after the other.
  for (const char* input : {"q\n", "Q\n", ""}) {
    SCOPED_TRACE(input);
    const RunResult run = run_chipferry(sim.port, input);
    EXPECT_EQ(run.code, 0);
    EXPECT_EQ(after_banner(run.out), kMenu);
  }
  EXPECT_EQ(sim.stop(), 0);
  const std::string log = sim.log();
  EXPECT_EQ(log_bytes(log, '>'), repeat(kWakeUp + kRelease, 3));
  EXPECT_EQ(log_bytes(log, '<'), repeat("[C][C]", 3));
}

TEST(Chipferry, UnknownOptionsAreReportedAndTheMenuReadsOn) {
  TempDir dir;
  Sim sim(dir);
  const RunResult run = run_chipferry(sim.port, "x0\n\nq5\n");
  EXPECT_EQ(run.code, 0);
  EXPECT_EQ(after_banner(run.out), kMenu +
                                       "Option x does not exist, please try again.\n"
                                       "Option 0 does not exist, please try again.\n");
  sim.stop();
  EXPECT_EQ(log_bytes(sim.log(), '>'), kWakeUp + kRelease);
}

TEST(Chipferry, MissingPortEndsWithCode1AndTouchesNothing) {
  TempDir dir;
  const RunResult run = run_chipferry(dir / "no-such-port", "q\n");
  EXPECT_EQ(run.code, 1);
  EXPECT_EQ(after_banner(run.out), "Port COM1 doesn't exist\n");
}

TEST(Chipferry, PortHeldByAnotherProcessEndsWithCode2) {
  TempDir dir;
  Sim sim(dir);
  auto holder = start_chipferry(sim.port);
  ASSERT_TRUE(holder->read_until("(Q)uit\n")) << holder->out();

  const RunResult second = run_chipferry(sim.port, "q\n");
  EXPECT_EQ(second.code, 2);
  EXPECT_EQ(after_banner(second.out), "Can't access Port COM1\n");

  holder->write_input("q\n");
  holder->close_input();
  EXPECT_EQ(holder->wait(), 0);
  sim.stop();
  // The second run sent nothing: one wake-up, one release.
  EXPECT_EQ(log_bytes(sim.log(), '>'), kWakeUp + kRelease);
}

TEST(Chipferry, AtATerminalQuitsAndLeavesTheTerminalAsItFoundIt) {
  TempDir dir;
  Sim sim(dir);
  Terminal terminal;
  terminal.start(sim.port);
  // What a person sees, with the terminal's own CR LF line ends.
  ASSERT_TRUE(terminal.see("(Q)uit\r\n")) << terminal.screen;
  terminal.press("q\r");
  EXPECT_EQ(terminal.finish(), 0);
  EXPECT_EQ(terminal.screen.rfind("Chipferry V0.4\r\n", 0), 0u) << terminal.screen;
  terminal.expect_settings_as_before();

  sim.stop();
  EXPECT_EQ(log_bytes(sim.log(), '>'), kWakeUp + kRelease);
}

}  // namespace
}  // namespace chipferry::test::e2e
