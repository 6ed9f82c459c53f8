// What a person at a terminal sees and does beyond the menu: Ctrl+C,
// --help, and a port that is no serial device. The Session tests here run
// against the Windows build too.
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/harness.h"

namespace chipferry::e2e {
namespace {

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
    std::string log_path = dir.file("run.log");
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
    ASSERT_TRUE(read_screen(master, "\r\n\r\n", screen)) << screen;
    // The wake-up is out; the wait for the prompt has begun.
    const auto end = std::chrono::steady_clock::now() + kRunLimit;
    while (log_bytes(read_file(log_path), '>') != "\x1b\x11" &&
           std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(milliseconds{10});
    }
    ASSERT_EQ(::write(master, "\x03", 1), 1);
    EXPECT_EQ(program.wait(), 128 + SIGINT);
    termios after{};
    ASSERT_EQ(tcgetattr(terminal, &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    ::close(master);
    ::close(terminal);
    if (sim) sim->stop();
    EXPECT_EQ(log_bytes(read_file(log_path), '>'), std::string("\x1b\x11") + kRelease);
  }
}

// ---------------------------------------------------------------------------
// On any build.

TEST(Session, HelpAndVersionAnswerWithoutOpeningThePort) {
  TempDir dir;
  for (const char* option : {"--help", "--version"}) {
    SCOPED_TRACE(option);
    // Were the port opened, this one would end the run with exit code 1.
    Process::Setup setup = chipferry_setup(dir.file("no-such-port"));
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
  const std::string victim = dir.file("victim.txt");
  write_file(victim, "precious data\n");
  for (const std::string& port : {victim, std::string("/dev/null")}) {
    SCOPED_TRACE(port);
    const RunResult run = run_chipferry(port, "q\n");
    EXPECT_EQ(run.code, 3);
    EXPECT_NE(run.out.find("Can't get Port COM1 state\n"), std::string::npos) << run.out;
    EXPECT_EQ(read_file(victim), "precious data\n");
  }
}

}  // namespace
}  // namespace chipferry::e2e
