// Start-up, the menu loop and the end of the run, end to end in-process.
#include <gtest/gtest.h>

#include <optional>

#include "link/port.h"
#include "tests/support/bench.h"

namespace chipferry::test {
namespace {

using Kind = WireEvent::Kind;

using StartUp = WithBench;

TEST_F(StartUp, WakesTheProgrammerAndQuitsCleanly) {
  EXPECT_EQ(b.run("q\n"), 0);
  EXPECT_EQ(b.console.out, kBanner + kMenu);
  EXPECT_EQ(b.wire(), kWakeUp + kRelease);
  // The pause between ESC and DC1, and the release's two.
  EXPECT_EQ(b.clock.sleeps, (Sleeps{50, 100, 100}));
  EXPECT_EQ(b.serial.opened_name, "COM1");
  EXPECT_TRUE(b.serial.line_set);
  EXPECT_EQ(b.serial.timeouts.read_ms, 60u);
  EXPECT_EQ(b.serial.timeouts.write_ms, 60u);
  EXPECT_EQ(b.serial.events.back().kind, Kind::closed);
  EXPECT_FALSE(b.serial.is_open);
}

TEST_F(StartUp, StartCommandFollowsThePromptAndTheMenuWaitsForTheNext) {
  b.programmer.faults.reply_delay_ms = 1000;  // every prompt comes a second late
  EXPECT_EQ(b.run("q\n"), 0);
  const auto& e = b.serial.events;
  ASSERT_GE(e.size(), 13u);
  EXPECT_EQ(e[0].byte, 0x1B);
  EXPECT_EQ(e[0].at_ms, 0u);
  EXPECT_EQ(e[1].byte, 0x11);
  EXPECT_EQ(e[1].at_ms, 50u);
  // The prompt is due at 1050 ms. Attempts of an empty 60 ms read and a
  // 75 ms pause start at 50, 185, ... 995 ms; the eighth read gets it.
  EXPECT_EQ(e[2].at_ms, 1050u);
  // The same again for the prompt that answers the start-up command.
  EXPECT_EQ(b.clock.sleeps, run_pauses(Sleeps(14, 75)));
  EXPECT_EQ(b.console.out, kBanner + kMenu);
}

TEST_F(StartUp, SilentProgrammerGivesUpAfterTheFullWait) {
  b.programmer.faults.silent = true;
  EXPECT_EQ(b.run("q\n"), 6);
  EXPECT_EQ(b.console.out, kBanner + "No Response\n");
  EXPECT_EQ(b.wire(), std::string("\x1b\x11") + kRelease);
  // 3600 attempts of one empty 60 ms read and a 75 ms pause each.
  ASSERT_EQ(b.clock.sleeps.size(), 1u + 3600u + 2u);
  EXPECT_EQ(std::count(b.clock.sleeps.begin() + 1, b.clock.sleeps.end() - 2, 75u), 3600);
  EXPECT_EQ(b.clock.now, 50u + 3600u * 135u + 200u);
  EXPECT_EQ(b.console.lines_read, 0);
}

TEST_F(StartUp, PortFailuresEndWithTheirCodeAndReleaseOnlyAnOpenPort) {
  struct Case {
    const char* name;
    void (*arrange)(SimSerial&);
    int code;
    const char* message;
    bool released;
    const char* why;  ///< on standard error
  };
  const Case cases[] = {
      {"missing", [](SimSerial& s) { s.open_result = OpenResult::not_found; }, 1,
       "Port COM1 doesn't exist\n", false, "COM1 cannot be opened"},
      {"busy", [](SimSerial& s) { s.open_result = OpenResult::failed; }, 2,
       "Can't access Port COM1\n", false, "COM1 cannot be opened"},
      // No settings: no terminal device, so nothing may be written to it.
      {"get state", [](SimSerial& s) { s.get_state_ok = false; }, 3, "Can't get Port COM1 state\n",
       false, "COM1 is not a serial device"},
      {"set state", [](SimSerial& s) { s.set_state_ok = false; }, 4, "Can't set Port COM1 state\n",
       true, "COM1 refused the line settings (19200 baud, 8N1, RTS/CTS)"},
      {"timeouts", [](SimSerial& s) { s.set_timeouts_ok = false; }, 5,
       "Can't set Port COM1 timeouts\n", true, "COM1 refused its time-outs"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bench bench;
    c.arrange(bench.serial);
    EXPECT_EQ(bench.run("q\n"), c.code);
    EXPECT_EQ(bench.console.out, kBanner + c.message);
    EXPECT_EQ(bench.console.diagnostics, std::vector<std::string>{c.why});
    EXPECT_EQ(bench.wire(), c.released ? kRelease : "");
    EXPECT_FALSE(bench.serial.is_open);
    EXPECT_EQ(bench.console.lines_read, 0);
  }
}

using Waits = WithBench;

TEST_F(Waits, StrayByteBeforeThePromptCostsOneAttempt) {
  b.programmer.faults.before_next_reply = "x";
  EXPECT_EQ(b.run("q\n"), 0);
  EXPECT_EQ(b.clock.sleeps, run_pauses({75}));
  EXPECT_EQ(b.console.out, kBanner + kMenu);
}

TEST_F(Waits, StrayBracketMakesTheWaitMissThatPrompt) {
  // The wake-up prompt is missed: "[[" fails, "C" and "]" fail too. The
  // start-up command is then never sent, and the wait runs out.
  b.programmer.faults.before_next_reply = "[";
  EXPECT_EQ(b.run("q\n"), 6);
  EXPECT_EQ(b.console.out, kBanner + "No Response\n");
  EXPECT_EQ(b.wire(), std::string("\x1b\x11") + kRelease);
}

TEST_F(Waits, PromptCutShortFailsOnTheThirdRead) {
  b.programmer.inject("[C", 0);
  EXPECT_FALSE(wait_command_prompt(b.opened()));
  // "[" and "C" at once, then an empty 60 ms read ends the first attempt.
  EXPECT_EQ(b.clock.now, 3600u * 135u);
  EXPECT_EQ(b.clock.sleeps.size(), 3600u);
}

TEST_F(Waits, ZeroByteAndSilenceAreToldApart) {
  Session& s = b.opened();
  b.programmer.inject(std::string(1, '\0'), 0);
  EXPECT_EQ(read_byte(s), std::optional<uint8_t>(0));
  EXPECT_EQ(b.clock.now, 0u);
  EXPECT_EQ(read_byte(s), std::nullopt);
  EXPECT_EQ(b.clock.now, 60u);
}

TEST_F(Waits, FailedCallsPrintTheirLineAndCarryOn) {
  b.serial.failing_writes = 1;  // the ESC of the wake-up
  b.serial.failing_reads = 1;   // the first read of the prompt wait
  EXPECT_EQ(b.run("q\n"), 0);
  EXPECT_EQ(b.out_after_banner(),
            std::string("Couldn't write to Port COM1\nCouldn't read Port COM1\n") + kMenu);
  // Each failed call takes the byte time-out, as a call that timed out
  // would: the ESC's before the wake-up's pause, the read's before the
  // pause after its failed attempt.
  EXPECT_EQ(b.clock.sleeps, (Sleeps{60, 50, 60, 75, 100, 100}));
}

using Menu = WithBench;

TEST_F(Menu, RejectsUnknownCharactersOneByOne) {
  EXPECT_EQ(b.run("\nx\nxy\n0 \nQ\n"), 0);
  EXPECT_EQ(b.out_after_banner(), kMenu +
                                      "Option x does not exist, please try again.\n"
                                      "Option x does not exist, please try again.\n"
                                      "Option y does not exist, please try again.\n"
                                      "Option 0 does not exist, please try again.\n"
                                      "Option   does not exist, please try again.\n");
}

TEST_F(Menu, QuitLeavesTheRestOfTheLineUnread) {
  EXPECT_EQ(b.run("q5\n4\n"), 0);
  EXPECT_EQ(b.out_after_banner(), kMenu);
  EXPECT_EQ(b.console.lines_read, 1);
  EXPECT_EQ(b.wire(), kWakeUp + kRelease);
}

TEST_F(Menu, EndOfInputEndsTheRunAsQuitDoes) {
  for (const char* input : {"", "x", "\n\n"}) {
    SCOPED_TRACE(input);
    Bench bench;
    EXPECT_EQ(bench.run(input), 0);
    EXPECT_EQ(bench.wire(), kWakeUp + kRelease);
  }
}

}  // namespace
}  // namespace chipferry::test
