// Running the real binaries of this build: chipferry, and chipferry-sim as
// its programmer, each in a process of its own, talking over a
// pseudo-terminal.
//
// A test starts a Sim (unpaced, operations without delay, a traffic log in
// a scratch directory), runs chipferry against sim.port with a script as
// standard input, and asserts the exit code, standard output, the traffic
// the simulator logged, and any files. Every run names its port
// explicitly; nothing here ever falls back to the machine's own COM1.
#pragma once

#include <termios.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"
#include "tests/support/wire.h"

// Inside chipferry::test, so that the folder, the file helpers and the
// wire constants shared with the in-process tests are at hand.
namespace chipferry::test::e2e {

using std::chrono::milliseconds;

constexpr milliseconds kRunLimit{20000};

/// A child process. Its standard input and output are pipes the test
/// holds, unless the test hands it a terminal of its own. Its cache folder
/// (XDG_CACHE_HOME) is the test's own, unless the setup names another.
class Process {
 public:
  struct Setup {
    std::vector<std::string> argv;
    /// "NAME=value" over the test's own environment; "NAME" alone unsets it.
    std::vector<std::string> env;
    int terminal_fd = -1;  ///< >= 0: stdin, stdout and stderr, as a controlling terminal
  };
  explicit Process(const Setup& setup);
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  void write_input(const std::string& text);
  void close_input();
  /// Stops reading its standard output, as a pipe's reader that goes away.
  void close_output();
  /// Reads standard output until it holds `text`; false when the time ran out.
  bool read_until(const std::string& text, milliseconds limit = kRunLimit);
  /// Reads standard output to its end and waits for the process; its exit
  /// code, 128 + the signal that ended it, or -1 if it was still running
  /// at the limit (it is then killed).
  int wait(milliseconds limit = kRunLimit);
  void signal(int sig);

  const std::string& out() const { return out_; }
  int pid() const { return pid_; }

 private:
  /// Waits at most `timeout_ms` for output; true when some came.
  bool read_some(int timeout_ms);

  std::string name_;
  int pid_ = -1;
  int in_fd_ = -1;
  int out_fd_ = -1;
  int status_ = -1;
  std::string out_;
};

/// chipferry-sim serving a pseudo-terminal on its own, until stop().
class Sim {
 public:
  /// `options` come after the harness's own: --no-pace --duration-ms 0
  /// and a log in `dir`; later options override them.
  explicit Sim(const TempDir& dir, const std::vector<std::string>& options = {});
  ~Sim();

  /// Ends the simulator with SIGTERM, which it takes as a clean stop; its
  /// exit code. The log is complete after this.
  int stop();
  std::string log() const;
  /// Waits until the log holds `text`; false when the time ran out.
  bool wait_for_log(const std::string& text, milliseconds limit = kRunLimit) const;
  /// Once the ESC that abandons a download has reached the simulator: how
  /// long the menu may take to come back. After the abandon's pause the
  /// prompt wait passes over every byte the program had not read yet, 75 ms
  /// each; on a busy machine that may be many of those the programmer had
  /// sent, so the bound is taken from the log, not guessed.
  milliseconds limit_after_abandoned_download() const;

  std::string port;
  std::string log_path;

 private:
  std::unique_ptr<Process> process_;
  int exit_code_ = -1;
};

struct RunResult {
  int code = -1;
  std::string out;
};

/// Runs chipferry with `port` as COM1, `input` as its standard input and
/// `args` as its arguments.
RunResult run_chipferry(const std::string& port, const std::string& input,
                        const std::vector<std::string>& args = {});

/// How to start chipferry with `port` as COM1 and `args` as its arguments.
/// By default the binary of this build. CHIPFERRY_E2E_PROGRAM replaces it
/// with another command (the Windows build under Wine, say); with
/// CHIPFERRY_E2E_PORT_LINK that command finds the port through a link,
/// re-pointed at `port` for each run.
Process::Setup chipferry_setup(const std::string& port, const std::vector<std::string>& args = {});

/// Starts chipferry with `port` as COM1; standard input stays open.
std::unique_ptr<Process> start_chipferry(const std::string& port,
                                         const std::vector<std::string>& args = {});

/// Reads what a program wrote to a terminal, from the terminal's other
/// end `master`, onto `screen` until it holds `text`; false when the time
/// ran out.
bool read_screen(int master, const std::string& text, std::string& screen,
                 milliseconds limit = kRunLimit);

// chipferry with a terminal of its own as standard input and output: what
// it prints is read at the terminal's far end, where keys are pressed.
class Terminal {
 public:
  Terminal();
  ~Terminal();
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;

  Process& start(const std::string& port);
  void press(const std::string& keys);
  /// Waits until `text` shows after what the last call saw; false when the
  /// time ran out.
  bool see(const std::string& text, milliseconds limit = kRunLimit);
  /// The program's exit code; what it still printed lands on the screen.
  int finish();
  /// The terminal's settings equal those it had before the program ran.
  void expect_settings_as_before() const;

  std::string screen;

 private:
  int master_ = -1;
  int terminal_ = -1;
  termios before_{};
  size_t seen_ = 0;
  std::unique_ptr<Process> program_;
};

/// The bytes of one direction in a simulator log: '>' what the program
/// sent, '<' what the programmer answered.
std::string log_bytes(const std::string& log, char direction);

/// What follows the banner in `out`, whatever its credits line says; a
/// failure when there is no banner.
std::string after_banner(const std::string& out);

/// `s`, `n` times over.
std::string repeat(const std::string& s, int n);

}  // namespace chipferry::test::e2e
