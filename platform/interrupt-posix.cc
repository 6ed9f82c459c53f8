#include "platform/interrupt-posix.h"

#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>

#include "platform/clock-posix.h"

namespace chipferry::posix_interrupt {
namespace {

// What the handler needs, as plain globals: a signal handler can reach
// nothing else, and may only read what it finds here. Each is written
// before the flag that arms it, with a fence between, so that a signal
// arriving half-way sees either nothing armed or all of it.
termios g_terminal;
volatile sig_atomic_t g_terminal_armed = 0;
volatile sig_atomic_t g_status_shown = 0;
constexpr size_t kMaxSteps = 8;
ReleaseStep g_release[kMaxSteps];
size_t g_release_size = 0;
int g_byte_timeout_ms = 0;
volatile sig_atomic_t g_port_fd = -1;
volatile sig_atomic_t g_handling = 0;
bool g_installed = false;

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

[[noreturn]] void end_as(int sig) {
  signal(sig, SIG_DFL);
  raise(sig);
  _exit(128 + sig);  // only if the signal's default action did not end us
}

void send_release(int fd) {
  // A transfer may have kilobytes queued ahead of us; they are abandoned
  // now, and the release must not wait behind them.
  tcflush(fd, TCOFLUSH);
  for (size_t i = 0; i < g_release_size; ++i) {
    pollfd p{fd, POLLOUT, 0};
    if (poll(&p, 1, g_byte_timeout_ms) > 0 && (p.revents & POLLOUT) != 0) {
      const auto byte = static_cast<unsigned char>(g_release[i].byte);
      [[maybe_unused]] const ssize_t sent = write(fd, &byte, 1);
    }
    if (g_release[i].pause_ms != 0) PosixClock().sleep_ms(g_release[i].pause_ms);
  }
  // What has not left by now never will (CTS held off), and close() would
  // wait up to half a minute for it; only a queue that is there is
  // dropped, for a device that cannot tell (a pseudo-terminal always says
  // empty) may still be passing the release on. TIOCOUTQ is a plain
  // system call, as the TCFLSH that tcflush() makes is.
  int queued = 0;
  if (ioctl(fd, TIOCOUTQ, &queued) == 0 && queued > 0) tcflush(fd, TCOFLUSH);
  close(fd);
}

extern "C" void on_interrupt(int sig) {
  if (g_handling != 0) end_as(sig);  // a second interrupt: at once
  g_handling = 1;
  if (g_terminal_armed != 0) tcsetattr(STDIN_FILENO, TCSANOW, &g_terminal);
  const int fd = g_port_fd;
  if (fd >= 0) send_release(fd);
  // Only now: the terminal that sent Ctrl+C drops its pending output as it
  // raises the signal, and an erase written at once may be dropped with it.
  if (g_status_shown != 0) {
    [[maybe_unused]] const ssize_t erased = write(STDERR_FILENO, "\r\033[K", 4);
  }
  end_as(sig);
}

void install() {
  if (g_installed) return;
  g_installed = true;
  for (int sig : kSignals) {
    struct sigaction old {};
    if (sigaction(sig, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    // Not blocked while the handler runs, and back to the default once it
    // has started: the same signal again ends the process at once.
    action.sa_flags = SA_NODEFER | SA_RESETHAND;
    sigaction(sig, &action, nullptr);
  }
}

}  // namespace

void arm_terminal(const termios& settings) {
  install();
  g_terminal = settings;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  g_terminal_armed = 1;
}

void disarm_terminal() { g_terminal_armed = 0; }

void set_status_shown(bool shown) { g_status_shown = shown ? 1 : 0; }

void arm_release(int fd, std::span<const ReleaseStep> release, uint32_t byte_timeout_ms) {
  install();
  g_port_fd = -1;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  g_release_size = 0;
  for (const ReleaseStep& step : release) {
    if (g_release_size < kMaxSteps) g_release[g_release_size++] = step;
  }
  g_byte_timeout_ms = static_cast<int>(byte_timeout_ms);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  g_port_fd = fd;
}

void disarm_release() { g_port_fd = -1; }

}  // namespace chipferry::posix_interrupt
