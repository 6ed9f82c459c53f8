#include "platform/interrupt-posix.h"

#include <unistd.h>

#include <atomic>

namespace chipferry::posix_interrupt {
namespace {

// What the handler reads and writes, as plain globals: a signal handler
// can reach nothing else. The terminal settings are written before the
// flag that arms them, with a fence between, so that a signal arriving
// half-way sees either nothing armed or all of it.
volatile sig_atomic_t g_received = 0;
termios g_terminal;
volatile sig_atomic_t g_terminal_armed = 0;
volatile sig_atomic_t g_status_shown = 0;
bool g_installed = false;

struct Noted {
  int sig;
  Stop stop;
};
constexpr Noted kNoted[] = {{SIGINT, Stop::interrupt},
                            {SIGTERM, Stop::terminate},
                            {SIGHUP, Stop::hang_up},
                            {SIGQUIT, Stop::quit}};

// The signal's default action, raised again.
[[noreturn]] void end_with(int sig) {
  signal(sig, SIG_DFL);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, sig);
  sigprocmask(SIG_UNBLOCK, &only, nullptr);
  raise(sig);
  _exit(128 + sig);  // only if the signal's default action did not end us
}

extern "C" void on_signal(int sig) {
  if (g_received == 0) {
    g_received = sig;
    return;
  }
  // The way out is under way. A person who presses Ctrl+C again means now;
  // a second SIGHUP or SIGTERM is only the system saying it again.
  if (sig != SIGINT && sig != SIGQUIT) return;
  if (g_terminal_armed != 0) tcsetattr(STDIN_FILENO, TCSANOW, &g_terminal);
  if (g_status_shown != 0) {
    [[maybe_unused]] const ssize_t erased = write(STDERR_FILENO, "\r\033[K", 4);
  }
  end_with(sig);
}

}  // namespace

void install() {
  if (g_installed) return;
  g_installed = true;
  for (const Noted& noted : kNoted) {
    const int sig = noted.sig;
    struct sigaction old {};
    if (sigaction(sig, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a read of standard input that the signal interrupts
    // returns, so that the menu does not wait for a line that never comes.
    action.sa_flags = 0;
    sigaction(sig, &action, nullptr);
  }
  signal(SIGPIPE, SIG_IGN);
}

Stop received() {
  const int sig = g_received;
  for (const Noted& noted : kNoted) {
    if (noted.sig == sig) return noted.stop;
  }
  return Stop::none;
}

void add_noted_signals(sigset_t& set) {
  for (const Noted& noted : kNoted) sigaddset(&set, noted.sig);
}

void arm_terminal(const termios& settings) {
  g_terminal = settings;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  g_terminal_armed = 1;
}

void disarm_terminal() { g_terminal_armed = 0; }

void set_status_shown(bool shown) { g_status_shown = shown ? 1 : 0; }

void end_as(Stop stop) {
  if (stop == Stop::output_gone) end_with(SIGPIPE);
  for (const Noted& noted : kNoted) {
    if (noted.stop == stop) end_with(noted.sig);
  }
}

}  // namespace chipferry::posix_interrupt
