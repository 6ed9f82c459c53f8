// What a person at a terminal sees and does beyond the menu: the status
// line on standard error, Ctrl+C, --help, and a port that is no serial
// device. The Session tests here run against the Windows build too.
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "tests/e2e/harness.h"

namespace chipferry::test::e2e {
namespace {

// The screen a terminal shows for `bytes`: carriage return, line feed and
// erase to the end of the line (ESC [ K), which is all chipferry sends;
// other escape sequences change nothing here.
std::vector<std::string> rendered(const std::string& bytes) {
  std::vector<std::string> rows(1);
  size_t col = 0;
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::string& row = rows.back();
    if (bytes.compare(i, 2, "\x1b[") == 0) {
      const size_t end = bytes.find_first_of(
          "@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_`abcdefghijklmnopqrstuvwxyz{|}~", i + 2);
      if (end == std::string::npos) break;
      if (bytes[end] == 'K' && end == i + 2) row.resize(std::min(row.size(), col));
      i = end;
    } else if (bytes[i] == '\r') {
      col = 0;
    } else if (bytes[i] == '\n') {
      rows.emplace_back();
      col = 0;
    } else {
      if (col >= row.size()) row.resize(col + 1, ' ');
      row[col++] = bytes[i];
    }
  }
  return rows;
}

bool any_row_has(const std::vector<std::string>& rows, const std::string& text) {
  for (const std::string& row : rows) {
    if (row.find(text) != std::string::npos) return true;
  }
  return false;
}

TEST(AtTheTerminal, TheStatusLineShowsADownloadAndLeavesNothingBehind) {
  TempDir dir;
  // 4 KiB at the line's speed. Whether a rate shows depends on how the
  // machine schedules the program (a stalled run reads the block at once),
  // so the rate's text is left to the tests on the virtual clock.
  Sim sim(dir, {"--pace", "--chip", "2732"});
  Terminal t;
  t.start(sim.port);
  ASSERT_TRUE(t.see("(Q)uit\r\n")) << t.screen;
  t.press("2\r");
  ASSERT_TRUE(t.see("Receiving 0 of 4096 bytes, ESC abandons")) << t.screen;
  ASSERT_TRUE(t.see("Receiving 4096 of 4096 bytes")) << t.screen;
  ASSERT_TRUE(t.see("Enter Filename")) << t.screen;
  t.press((dir / "chip.bin") + "\r");
  ASSERT_TRUE(t.see("(Q)uit\r\n")) << t.screen;
  t.press("q\r");
  EXPECT_EQ(t.finish(), 0) << t.screen;
  // Erased before the prompt: the screen holds what it would without it.
  const std::vector<std::string> rows = rendered(t.screen);
  EXPECT_FALSE(any_row_has(rows, "Receiving")) << t.screen;
  const auto typed = std::find(rows.begin(), rows.end(), "2");
  ASSERT_NE(typed, rows.end()) << t.screen;
  ASSERT_NE(typed + 1, rows.end());
  EXPECT_EQ(*(typed + 1), "Enter Filename");
  EXPECT_EQ(read_file<std::string>(dir / "chip.bin"), std::string(4096, '\xFF'));
}

TEST(AtTheTerminal, NothingReachesStandardErrorWhenItIsNoTerminal) {
  TempDir dir;
  Sim sim(dir, {"--pace", "--chip", "2716"});
  int master = -1, terminal = -1;
  ASSERT_EQ(openpty(&master, &terminal, nullptr, nullptr, nullptr), 0);
  Process::Setup setup;
  // At a terminal, but with 2> a file, as `chipferry 2>/dev/null` is.
  setup.argv = {"/bin/sh", "-c", "exec \"$0\" 2>\"$1\"", CHIPFERRY_BIN, (dir / "stderr")};
  setup.env = {"CHIPFERRY_COM1=" + sim.port};
  setup.terminal_fd = terminal;
  Process chipferry(setup);
  std::string screen;
  ASSERT_TRUE(read_screen(master, "(Q)uit\r\n", screen)) << screen;
  ASSERT_EQ(::write(master, "2\r", 2), 2);
  ASSERT_TRUE(read_screen(master, "Enter Filename", screen)) << screen;
  const std::string name = (dir / "chip.bin") + "\rq\r";
  ASSERT_EQ(::write(master, name.data(), name.size()), static_cast<ssize_t>(name.size()));
  EXPECT_EQ(chipferry.wait(), 0);
  read_screen(master, "\x01never\x01", screen, milliseconds{50});
  ::close(master);
  ::close(terminal);
  EXPECT_EQ(screen.find("\x1b[K"), std::string::npos) << screen;
  EXPECT_EQ(read_file<std::string>(dir / "stderr"), "");
}

// Ctrl+C hands the programmer back, however chipferry was started: also
// under chipferry-sim --run, where the terminal's Ctrl+C reaches both.
TEST(AtTheTerminal, CtrlCDuringAWaitHandsTheProgrammerBack) {
  for (bool under_sim : {false, true}) {
    SCOPED_TRACE(under_sim ? "chipferry-sim --run chipferry" : "chipferry");
    TempDir dir;
    int master = -1, terminal = -1;
    ASSERT_EQ(openpty(&master, &terminal, nullptr, nullptr, nullptr), 0);
    std::unique_ptr<Sim> sim;
    Process::Setup setup;
    std::string log_path = (dir / "run.log");
    if (under_sim) {
      setup.argv = {CHIPFERRY_SIM_BIN, "--fault", "silent",     "--log",
                    log_path,          "--run",   CHIPFERRY_BIN};
    } else {
      sim = std::make_unique<Sim>(dir, std::vector<std::string>{"--fault", "silent"});
      setup.argv = {CHIPFERRY_BIN};
      setup.env = {"CHIPFERRY_COM1=" + sim->port};
      log_path = sim->log_path;
    }
    setup.terminal_fd = terminal;
    termios before{};
    ASSERT_EQ(tcgetattr(terminal, &before), 0);
    Process program(setup);
    std::string screen;
    // The status line of a wait; cut to the terminal's width, its end
    // depends on how long the port's name is.
    ASSERT_TRUE(read_screen(master, "Waiting for the programmer on COM1", screen)) << screen;
    ASSERT_EQ(::write(master, "\x03", 1), 1);
    EXPECT_EQ(program.wait(), 128 + SIGINT);
    // The terminal echoed ^C; the status line went after it. What the run
    // wrote stays on the terminal, however late it is read.
    EXPECT_TRUE(read_screen(master, "^C\r\x1b[K", screen)) << screen;
    termios after{};
    ASSERT_EQ(tcgetattr(terminal, &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    ::close(master);
    ::close(terminal);
    if (sim) sim->stop();
    EXPECT_EQ(log_bytes(read_file<std::string>(log_path), '>'), std::string("\x1b\x11") + kRelease);
  }
}

// ---------------------------------------------------------------------------
// On any build.

TEST(Session, HelpAndVersionAnswerWithoutOpeningThePort) {
  TempDir dir;
  for (const char* option : {"--help", "--version"}) {
    SCOPED_TRACE(option);
    // Were the port opened, this one would end the run with exit code 1.
    Process::Setup setup = chipferry_setup((dir / "no-such-port"));
    setup.argv.emplace_back(option);
    Process p(setup);
    p.close_input();
    EXPECT_EQ(p.wait(), 0);
    const std::string starts =
        std::string(option) == "--help" ? "Usage: chipferry" : "chipferry 0.";
    EXPECT_EQ(p.out().rfind(starts, 0), 0u) << p.out();
    EXPECT_EQ(p.out().find("COM1 doesn't exist"), std::string::npos) << p.out();
  }
}

// A mistaken CHIPFERRY_COM1 must cost nothing but the run: the file it
// names used to get ESC S C CR over its first four bytes.
TEST(Session, AFileNamedAsThePortIsLeftAsItWas) {
  TempDir dir;
  const std::string victim = (dir / "victim.txt");
  write_file(victim, std::string("precious data\n"));
  for (const std::string& port : {victim, std::string("/dev/null")}) {
    SCOPED_TRACE(port);
    const RunResult run = run_chipferry(port, "q\n");
    EXPECT_EQ(run.code, 3);
    EXPECT_NE(run.out.find("Can't get Port COM1 state\n"), std::string::npos) << run.out;
    EXPECT_EQ(read_file<std::string>(victim), "precious data\n");
  }
}

}  // namespace
}  // namespace chipferry::test::e2e
