// What a person at a terminal sees beyond standard output, in virtual
// time: control keys in caret notation, --help and --version; and what an
// interrupt would send.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/program.h"
#include "tests/support/bench.h"

namespace chipferry::test {
namespace {

TEST(Menu, ControlCharactersAreShownInCaretNotation) {
  Bench b;
  // An arrow key, DEL, a tab and Ctrl+A; printable characters as typed.
  EXPECT_EQ(b.run("\x1b[A\x7f\t\x01\xe9\nq\n"), 0);
  std::string expected = kMenu;
  for (const char* shown : {"^[", "[", "A", "^?", "^I", "^A", "\xe9"}) {
    expected += std::string("Option ") + shown + " does not exist, please try again.\n";
  }
  EXPECT_EQ(b.out_after_banner(), expected);
}

TEST(Arguments, OnlyHelpOrVersionAloneAreAnswered) {
  struct Case {
    std::vector<const char*> argv;
    bool answered;
    const char* starts;
  };
  const Case cases[] = {
      {{"chipferry", "--help"}, true, "Usage: chipferry [--help | --version]\n"},
      {{"chipferry", "--version"}, true, "chipferry 0."},
      {{"chipferry"}, false, ""},
      {{"chipferry", "-h"}, false, ""},
      {{"chipferry", "--help", "--version"}, false, ""},
      {{"chipferry", "--Help"}, false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.argv.back());
    sim::VirtualClock clock;
    ScriptedConsole console(clock);
    const auto code =
        answer_arguments(static_cast<int>(c.argv.size()), c.argv.data(), console, "/dev/ttyS9");
    EXPECT_EQ(code.has_value(), c.answered);
    EXPECT_EQ(code.value_or(0), 0);
    EXPECT_EQ(console.out.rfind(c.starts, 0), 0u) << console.out;
    EXPECT_EQ(console.out.empty(), !c.answered);
  }
  sim::VirtualClock clock;
  ScriptedConsole console(clock);
  const char* help[] = {"chipferry", "--help"};
  answer_arguments(2, help, console, "/dev/ttyS9");
  EXPECT_NE(console.out.find("CHIPFERRY_COM1,\nor /dev/ttyS9 when it is not set"),
            std::string::npos);
}

// What a Ctrl+C would send is what the end of the run sends, and only to a
// port that is a terminal device.
TEST(Interrupt, ArmsTheReleaseOnlyForAPortThatAnswersItsSettings) {
  Bench b;
  EXPECT_EQ(b.run("q\n"), 0);
  std::string armed;
  std::vector<uint32_t> pauses;
  for (const ReleaseStep& step : b.serial.interrupt_release) {
    armed.push_back(static_cast<char>(step.byte));
    if (step.pause_ms != 0) pauses.push_back(step.pause_ms);
  }
  EXPECT_EQ(armed, release_bytes());
  EXPECT_EQ(pauses, (std::vector<uint32_t>{100, 100}));
  EXPECT_EQ(b.serial.interrupt_byte_timeout_ms, 60u);

  Bench not_a_terminal;
  not_a_terminal.serial.get_state_ok = false;
  EXPECT_EQ(not_a_terminal.run("q\n"), 3);
  EXPECT_TRUE(not_a_terminal.serial.interrupt_release.empty());
}

}  // namespace
}  // namespace chipferry::test
