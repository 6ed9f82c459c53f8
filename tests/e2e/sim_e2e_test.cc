// chipferry-sim on its own: the programmer it plays, seen from the serial
// end as any program would see it, and the way it runs a program.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>

#include "tests/e2e/harness.h"

namespace chipferry::test::e2e {
namespace {

// The simulator's serial end, opened raw as chipferry opens it.
class Line {
 public:
  explicit Line(const std::string& port) : fd_(::open(port.c_str(), O_RDWR | O_NOCTTY)) {
    EXPECT_GE(fd_, 0) << port;
    termios tio{};
    tcgetattr(fd_, &tio);
    cfmakeraw(&tio);
    tcsetattr(fd_, TCSANOW, &tio);
  }
  ~Line() { ::close(fd_); }

  void send(const std::string& bytes) {
    ASSERT_EQ(::write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  /// Reads until `n` bytes have come or the line has been quiet for
  /// `quiet_ms`.
  std::string read(size_t n, int quiet_ms = 1000) {
    std::string got;
    pollfd p{fd_, POLLIN, 0};
    while (got.size() < n && poll(&p, 1, quiet_ms) > 0) {
      char chunk[4096];
      const ssize_t k = ::read(fd_, chunk, std::min(sizeof chunk, n - got.size()));
      if (k <= 0) break;
      got.append(chunk, static_cast<size_t>(k));
    }
    return got;
  }
  /// Sends `command` and expects exactly `reply`, and then nothing more
  /// for a moment.
  void exchange(const std::string& command, const std::string& reply) {
    send(command);
    EXPECT_EQ(read(reply.size()), reply) << "after " << command;
    EXPECT_EQ(read(1, 20), "") << "after " << command;
  }

 private:
  int fd_;
};

std::string pattern(size_t n) {
  std::string bytes(n, '\0');
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>(i * 7 + i / 256);
  return bytes;
}

const std::string kBlank2716(2048, '\xFF');

struct Exchange {
  std::string command;
  std::string reply;
};

struct ChipCase {
  const char* name;
  std::vector<std::string> options;
  std::vector<Exchange> exchanges;
  const char* wake_reply = "[C]";
};

TEST(Sim, AnswersAsAProgrammerWithAChipInItsSocket) {
  const ChipCase cases[] = {
      {"type query and selection",
       {},
       {{"R\r", "[0016][C]"},
        {"R64A\r", ""},
        {"r\r", "[064A][C]"},
        {"Rxyz\r", ""},
        {"R\r", "[064A][C]"},
        {"S900000 01\r", "[C]"},
        {"Q\r", "[?][C]"}}},
      {"blank EPROM",
       {"--chip", "2732"},
       {{"R\r", "[0032][C]"},
        {"PC\r", "[C]"},
        {"P\r", "[PASS][C]"},
        {"P8\r", "[C]"},
        {"P\r", "[PASS][PASS][C]"},
        {"S1K 0000-0FFF\r", checksum_reply(std::string(4096, '\xFF')) + "[C]"},
        {"P9\r", "[C]"},
        {"P\r", "[ERROR #35]"},
        {"\x1b", "[C]"}}},
      {"EEPROM erases",
       {"--chip", "2816A:" + std::string("IMAGE")},
       {{"PC\r", "[C]"},
        {"P\r", "[ERROR #12]"},
        {"\x1b", "[C]"},
        {"P9\r", "[C]"},
        {"P\r", "[PASS][C]"},
        {"PC\r", "[C]"},
        {"P\r", "[PASS][C]"}}},
      {"image dumped and compared",
       {"--chip", "16:IMAGE", "--type", "2716"},
       {{"PE\r", "[C]"},
        {"P\r", "[ERROR #13]"},
        {"\x1b", "[C]"},
        {"P8\r", "[C]"},
        {"P\r", "[PASS][PASS][C]"},
        {"S1K 0000-07FF\r", checksum_reply(pattern(2048)) + "[C]"},
        {"PE\r", "[C]"},
        {"P\r", "[PASS][C]"}}},
      {"EPROM programmed over its bits",
       {"--chip", "2716:IMAGE"},
       // The buffer is blank: an EPROM cannot get its 0 bits back.
       {{"PD\r", "[C]"}, {"P\r", "[ERROR #11]"}, {"\x1b", "[C]"}}},
      {"empty socket",
       {"--empty-socket"},
       {{"PC\r", "[C]"}, {"P\r", "[ERROR #06][C]"}, {"P8\r", "[C]"}, {"P\r", "[ERROR #06][C]"}}},
      {"code fault",
       {"--fault", "code=14", "--fault", "code=06"},
       {{"PC\r", "[C]"},
        {"P\r", "[ERROR #14]"},
        {"\x1b", "[C]"},
        {"P\r", "[ERROR #06][C]"},
        {"P\r", "[PASS][C]"}}},
      {"malformed frame", {"--fault", "frame=PAS5]"}, {{"PC\r", "[C]"}, {"P\r", "[PAS5]"}}},
      {"wrong checksum once",
       {"--fault", "checksum"},
       {{"S1K 0000-07FF\r", "[F801 ][C]"}, {"S1K 0000-07FF\r", "[F800 ][C]"}}},
      {"download framing",
       {"--fault", "preamble=2", "--fault", "surplus=3:AA"},
       {{"S8\r", std::string("\0\0\xFF", 3) + kBlank2716 + "\xAA\xAA\xAA\r\n[C]"}}},
      {"silent", {"--fault", "silent"}, {{"R\r", ""}, {"PC\r", ""}}, ""},
  };
  for (const ChipCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    write_file(dir / "IMAGE", pattern(2048));
    std::vector<std::string> options = c.options;
    for (std::string& o : options) {
      if (const size_t at = o.find("IMAGE"); at != std::string::npos)
        o.replace(at, 5, dir / "IMAGE");
    }
    Sim sim(dir, options);
    Line line(sim.port);
    // Wake-up: ESC is ignored at rest, DC1 brings the prompt.
    line.exchange("\x1b\x11", c.wake_reply);
    for (const Exchange& e : c.exchanges) line.exchange(e.command, e.reply);
    EXPECT_EQ(sim.stop(), 0);
  }
}

// A program that ends without reading the programmer's last words leaves
// nothing for the next one.
TEST(Sim, ClosingThePortDropsWhatWasLeftUnread) {
  TempDir dir;
  Sim sim(dir);
  {
    Line line(sim.port);
    line.exchange("\x11", "[C]");
    line.exchange("PC\r", "[C]");
    line.exchange("P\r", "[PASS][C]");
    line.send("\x1b");  // answered with a prompt, which nobody reads
    EXPECT_EQ(line.read(3), "[C]");
    line.send("PC\r\x1bSC\r");
  }
  // It takes the simulator a moment to see the close; chipferry's own
  // wake-up waits 50 ms before its first read.
  ASSERT_TRUE(sim.wait_for_log("port closed"));
  Line next(sim.port);
  EXPECT_EQ(next.read(1, 300), "");
  next.exchange("\x11", "[C]");
  EXPECT_EQ(sim.stop(), 0);
}

// A break does not cross a pseudo-terminal: the upload ends when the line
// falls silent after the data.
TEST(Sim, UploadEndsOnSilenceAndDownloadBringsTheBlockBack) {
  for (const char* pace : {"--no-pace", "--pace"}) {
    SCOPED_TRACE(pace);
    TempDir dir;
    Sim sim(dir, {pace, "--type", "2716"});
    Line line(sim.port);
    line.exchange("\x11", "[C]");
    const std::string block = pattern(2048);
    // One byte a write, as chipferry sends.
    for (char c : kUploadStart + block) line.send(std::string(1, c));
    EXPECT_EQ(line.read(3, 5000), "[C]");
    line.exchange("S1K 0000-07FF\r", checksum_reply(block) + "[C]");
    line.send("S8\r");
    EXPECT_EQ(line.read(16 + 1 + 2048 + 5, 5000),
              std::string(16, '\0') + "\xFF" + block + "\r\n[C]");
    EXPECT_EQ(sim.stop(), 0);

    const std::string log = sim.log();
    EXPECT_EQ(log_bytes(log, '<'), "[C][C]" + checksum_reply(block) + "[C]" +
                                       std::string(16, '\0') + "\xFF" + block + "\r\n[C]");
    if (std::string(pace) == "--pace") {
      // 2,070 bytes at 19,200 baud take more than a second on the line.
      std::istringstream lines(log);
      std::string l;
      double first = -1, last = -1;
      while (std::getline(lines, l)) {
        std::istringstream fields(l);
        double t = 0;
        std::string dir;
        if (fields >> t >> dir && dir == "<") {
          if (l.find("00 00 00 00") != std::string::npos && first < 0) first = t;
          last = t;
        }
      }
      EXPECT_GT(last - first, 1.0);
    }
  }
}

TEST(Sim, RunsAProgramOnItsPortAndEndsWithItsExitCode) {
  struct Case {
    std::vector<std::string> program;
    int code;
  };
  const Case cases[] = {
      {{"/bin/sh", "-c", "test -c \"$CHIPFERRY_COM1\""}, 0},
      {{"/bin/sh", "-c", "exit 3"}, 3},
      {{"/bin/sh", "-c", "kill -TERM $$"}, 128 + SIGTERM},
      {{"/nonexistent/program"}, 127},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.program.back());
    Process::Setup setup;
    setup.argv = {CHIPFERRY_SIM_BIN, "--no-pace", "--run"};
    setup.argv.insert(setup.argv.end(), c.program.begin(), c.program.end());
    Process sim(setup);
    sim.close_input();
    EXPECT_EQ(sim.wait(), c.code);
  }
}

TEST(Sim, RunsChipferryAndLogsTheClosingBytes) {
  TempDir dir;
  Process::Setup setup;
  setup.argv = {CHIPFERRY_SIM_BIN, "--no-pace", "--log", dir / "sim.log", "--run", CHIPFERRY_BIN};
  Process sim(setup);
  sim.write_input("q\n");
  sim.close_input();
  EXPECT_EQ(sim.wait(), 0);
  EXPECT_NE(sim.out().find(kMenu), std::string::npos) << sim.out();
  const std::string log = read_file<std::string>(dir / "sim.log");
  EXPECT_EQ(log_bytes(log, '>'), kWakeUp + kRelease);
  EXPECT_NE(log.find("ended with exit code 0"), std::string::npos) << log;
}

// A replay that the program follows to the end ends as the run did; one it
// leaves says where, and ends with 124. The same when the replay serves its
// port without running the program itself.
TEST(Sim, AReplayEndsAsTheRunDidOrSaysWhereItWasLeft) {
  TempDir dir;
  const std::string recorded_input = "4\n2716\n9\nq\n";
  {
    Sim sim(dir);
    Process::Setup setup = chipferry_setup(sim.port);
    setup.env.push_back("CHIPFERRY_TRACE=" + (dir / "t.trace"));
    Process recording(setup);
    recording.write_input(recorded_input);
    recording.close_input();
    ASSERT_EQ(recording.wait(), 0) << recording.out();
  }
  const std::string err = dir / "err";
  // A program that ends while a child of its own holds the port: the
  // replay cannot see the port close, and ends with the program.
  const std::vector<std::string> leaves_a_holder = {
      "/bin/sh", "-c",
      "exec 3<>\"$CHIPFERRY_COM1\"; printf '\\033' >&3; "
      "sleep 60 <&3 >/dev/null 2>&1 & echo $! >\"$HOLDER\""};
  const struct {
    const char* name;
    std::vector<std::string> program;  ///< none: the replay serves its port
    std::string input;
    int code;
  } cases[] = {
      {"followed", {CHIPFERRY_BIN}, recorded_input, 0},
      {"left", {CHIPFERRY_BIN}, "4\n2732\n9\nq\n", 124},
      {"left by a program that has gone", leaves_a_holder, "", 124},
      {"followed, served", {}, recorded_input, 0},
      {"left, served", {}, "3\n", 124},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Process::Setup setup;
    setup.argv = {"/bin/sh",         "-c",        "exec \"$0\" \"$@\" 2>\"$ERR\"",
                  CHIPFERRY_SIM_BIN, "--no-pace", "--replay",
                  dir / "t.trace"};
    if (!c.program.empty()) {
      setup.argv.emplace_back("--run");
      setup.argv.insert(setup.argv.end(), c.program.begin(), c.program.end());
    }
    setup.env = {"ERR=" + err, "HOLDER=" + (dir / "holder")};
    Process replay(setup);
    if (!c.program.empty()) {
      replay.write_input(c.input);
      replay.close_input();
    } else {
      ASSERT_TRUE(replay.read_until("\n")) << replay.out();
      run_chipferry(replay.out().substr(0, replay.out().find('\n')), c.input);
    }
    EXPECT_EQ(replay.wait(), c.code);
    if (const std::string holder = read_file<std::string>(dir / "holder"); !holder.empty()) {
      kill(std::stoi(holder), SIGKILL);
      std::remove((dir / "holder").c_str());
    }
    const std::string said = read_file<std::string>(err);
    if (c.code == 0) {
      EXPECT_EQ(said, "");
      continue;
    }
    for (const char* part :
         {"the replay of ", " diverged ", "  position: byte ", "  expected: ", "  received: "}) {
      EXPECT_NE(said.find(part), std::string::npos) << part << " in:\n" << said;
    }
  }
}

// The demo's way out: Ctrl+C at the terminal ends the program and the
// simulator with it.
TEST(Sim, CtrlCAtTheTerminalEndsProgramAndSimulator) {
  int master = -1, terminal = -1;
  ASSERT_EQ(openpty(&master, &terminal, nullptr, nullptr, nullptr), 0);
  Process::Setup setup;
  setup.argv = {CHIPFERRY_SIM_BIN, "--no-pace", "--run", CHIPFERRY_BIN};
  setup.terminal_fd = terminal;
  Process sim(setup);
  std::string screen;
  ASSERT_TRUE(read_screen(master, "(Q)uit", screen)) << screen;
  ASSERT_EQ(::write(master, "\x03", 1), 1);
  EXPECT_EQ(sim.wait(), 128 + SIGINT);
  ::close(master);
  ::close(terminal);
}

TEST(Sim, RefusesWhatItCannotDo) {
  TempDir dir;
  write_file(dir / "big", std::string(4097, 'x'));
  const std::vector<std::vector<std::string>> bad = {{"--chip", "2999"},
                                                     {"--type"},
                                                     {"--duration-ms", "60001"},
                                                     {"--fault", "code=1"},
                                                     {"--fault", "surplus=2:G0"},
                                                     {"--chip", "2732:" + dir / "big"},
                                                     {"--chip", "2732:" + dir / "missing"},
                                                     {"--empty-socket", "--chip", "2716"},
                                                     {"--bogus"}};
  for (const auto& options : bad) {
    SCOPED_TRACE(options.front() + " " + options.back());
    Process::Setup setup;
    setup.argv = {CHIPFERRY_SIM_BIN};
    setup.argv.insert(setup.argv.end(), options.begin(), options.end());
    Process sim(setup);
    sim.close_input();
    EXPECT_EQ(sim.wait(), 125);
  }
}

}  // namespace
}  // namespace chipferry::test::e2e
