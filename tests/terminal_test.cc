// What a person at a terminal sees beyond standard output, in virtual
// time: the status line during the long waits, control keys in caret
// notation, --help and --version.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "app/program.h"
#include "catalogue/catalogue.h"
#include "tests/support/bench.h"
#include "tests/support/temp_dir.h"

namespace chipferry::test {
namespace {

using Status = ScriptedConsole::Status;

const RomType* rom(const char* name) { return find_rom_type(name, NameColumn::full); }

TEST(StatusLine, CountsTheProgrammingPauseWithoutCuttingIt) {
  Bench b;
  b.programmer.selected = rom("2764A");
  EXPECT_EQ(b.run("7\nPROGRAM\nq\n"), 0);
  EXPECT_EQ(b.out_after_banner(),
            std::string(kMenu) + "Type the word 'PROGRAM' to confirm this action\n" + kMenu);
  // Still one pause of 5 ms a byte, as without the status line.
  EXPECT_EQ(b.clock.sleeps, (std::vector<uint32_t>{50, 100, 75, 100, 40960, 100, 100}));
  // Redrawn as each second passes, then erased when the pause ends.
  const auto& st = b.console.statuses;
  ASSERT_EQ(st.size(), 42u);
  const uint64_t start = st[0].at_ms;
  for (size_t i = 0; i < 41; ++i) {
    EXPECT_EQ(st[i].line, "Programming: " + std::to_string(i) + " s of 41 s");
    EXPECT_EQ(st[i].at_ms, start + i * 1000);
  }
  EXPECT_EQ(st[41].line, "");
  EXPECT_EQ(st[41].at_ms, start + 40960);
}

// Where no status line is drawn, a chip's pause wakes only to look
// whether the run must end, every kEndLookMs: not every millisecond.
TEST(StatusLine, NoneDrawnLeavesAChipPauseItsLongNaps) {
  Bench b;
  b.console.status_terminal = false;
  b.programmer.selected = rom("2716");
  EXPECT_EQ(b.run("7\nPROGRAM\nq\n"), 0);
  EXPECT_EQ(b.clock.sleeps, (std::vector<uint32_t>{50, 100, 75, 100, 10240, 100, 100}));
  EXPECT_TRUE(b.console.statuses.empty());
  // The pause's 204 naps of 50 ms and one of 40, and the two of the 75 ms
  // wait for a prompt.
  EXPECT_EQ(b.clock.naps, 205 + 2);
}

TEST(StatusLine, NamesAWaitThatLastsASecondAndErasesItBeforeTheMessage) {
  Bench b;
  b.programmer.faults.silent = true;
  EXPECT_EQ(b.run("q\n"), 6);
  EXPECT_EQ(b.console.out, std::string(kBanner) + "No Response\n");
  const auto& st = b.console.statuses;
  ASSERT_FALSE(st.empty());
  // The wait starts after the wake-up's 50 ms; its eighth attempt ends
  // 1080 ms into it.
  EXPECT_EQ(st.front().line, "Waiting for the programmer on COM1: 1 s of 8 min 6 s, Ctrl+C stops");
  EXPECT_EQ(st.front().at_ms, 50u + 8 * 135);
  EXPECT_EQ(st[st.size() - 2].line,
            "Waiting for the programmer on COM1: 8 min 6 s of 8 min 6 s, Ctrl+C stops");
  EXPECT_EQ(st.back().line, "");
  EXPECT_EQ(st.back().at_ms, 50u + 3600 * 135);
  // Once a second, not once an attempt.
  EXPECT_EQ(st.size(), 486u + 1);
}

TEST(StatusLine, ShowsADownloadsProgressAndEscOnlyWithAKeyboard) {
  for (bool keyboard : {true, false}) {
    SCOPED_TRACE(keyboard);
    TempDir dir;
    Bench b;
    b.console.keyboard = keyboard;
    b.programmer.selected = rom("2716");
    // Half the block at once, then 1.2 s of silence, then the rest: the
    // rate counts from the first byte, 1023 bytes in 1020 ms when a
    // second has gone by, 2047 in 1200 ms at the end.
    b.programmer.faults.download_gaps = {{1024, 1200}};
    EXPECT_EQ(b.run("2\n" + (dir / "out.bin") + "\nq\n"), 0);
    const std::string esc = keyboard ? ", ESC abandons" : "";
    std::vector<std::string> lines;
    for (const Status& status : b.console.statuses) lines.push_back(status.line);
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "Receiving 0 of 2048 bytes" + esc,
                         "Receiving 1024 of 2048 bytes" + esc,
                         "Receiving 1024 of 2048 bytes, 1002 bytes/s, 2 s left" + esc,
                         "Receiving 2048 of 2048 bytes, 1705 bytes/s, 0 s left" + esc,
                         "",
                     }));
  }
}

using Menu = WithBench;

TEST_F(Menu, ControlCharactersAreShownInCaretNotation) {
  // An arrow key, DEL, a tab and Ctrl+A; printable characters as typed.
  EXPECT_EQ(b.run("\x1b[A\x7f\t\x01\xe9\nq\n"), 0);
  std::string expected = kMenu;
  for (const char* shown : {"^[", "[", "A", "^?", "^I", "^A", "\xe9"}) {
    expected += std::string("Option ") + shown + " does not exist, please try again.\n";
  }
  EXPECT_EQ(b.out_after_banner(), expected);
}

// --help and --version are answered wherever they stand; an argument
// nobody knows is a usage error, no longer ignored.
TEST(Arguments, HelpOrVersionAreAnsweredAndUnknownArgumentsRefused) {
  struct Case {
    std::vector<const char*> argv;
    std::optional<int> code;
    const char* starts;
  };
  const Case cases[] = {
      {{"chipferry", "--help"}, 0, "Usage: chipferry [--help | --version]\n"},
      {{"chipferry", "--version"}, 0, "chipferry 0."},
      {{"chipferry"}, std::nullopt, ""},
      {{"chipferry", "-h"}, 0, "Usage: chipferry"},
      {{"chipferry", "--help", "--version"}, 0, "Usage: chipferry"},
      {{"chipferry", "--Help"}, kExitUsage, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.argv.back());
    VirtualClock clock;
    ScriptedConsole console(clock);
    const CommandLine line =
        read_command_line(static_cast<int>(c.argv.size()), c.argv.data(), console, "/dev/ttyS9");
    EXPECT_EQ(line.exit_code, c.code);
    EXPECT_TRUE(line.steps.empty());
    EXPECT_EQ(console.out.rfind(c.starts, 0), 0u) << console.out;
    EXPECT_EQ(console.out.empty(), c.code != 0);
  }
  VirtualClock clock;
  ScriptedConsole console(clock);
  const char* help[] = {"chipferry", "--help"};
  read_command_line(2, help, console, "/dev/ttyS9");
  EXPECT_NE(console.out.find("CHIPFERRY_COM1,\nor /dev/ttyS9 when it is not set"),
            std::string::npos);
}

// The port's exit codes are listed from the table of port failures: in
// order, between 0 and 6, each in the words the manual uses.
TEST(Arguments, HelpListsTheExitCodesInOrder) {
  VirtualClock clock;
  ScriptedConsole console(clock);
  const char* help[] = {"chipferry", "--help"};
  read_command_line(2, help, console, "/dev/ttyS9");
  EXPECT_NE(
      console.out.find("Exit status:\n"
                       "  0  quit, or input ended at the menu\n"
                       "  1  the port does not exist\n"
                       "  2  the port cannot be opened (held by another program, no permission)\n"
                       "  3  the port's settings cannot be read: it is not a serial device\n"
                       "  4  the port's settings cannot be set\n"
                       "  5  the port's time-outs cannot be set\n"
                       "  6  the programmer did not answer, or a download ended wrongly\n"),
      std::string::npos)
      << console.out;
}

}  // namespace
}  // namespace chipferry::test
