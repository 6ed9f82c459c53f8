#include "platform/console-posix.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/interrupt-posix.h"

namespace chipferry {
namespace {

// Used when the terminal does not say how wide it is.
constexpr size_t kDefaultWidth = 80;

size_t terminal_width(int fd) {
  winsize size{};
  if (ioctl(fd, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) return kDefaultWidth;
  return size.ws_col;
}

void write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
}

}  // namespace

PosixConsole::PosixConsole()
    : terminal_(isatty(STDIN_FILENO) == 1), status_terminal_(isatty(STDERR_FILENO) == 1) {}

PosixConsole::~PosixConsole() {
  if (key_mode_) leave_key_mode();
  erase_status();
}

void PosixConsole::write(std::string_view text) {
  erase_status();
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

bool PosixConsole::read_line(std::string& line) {
  erase_status();
  for (;;) {
    const size_t end = pending_.find('\n');
    if (end != std::string::npos || (ended_ && !pending_.empty())) {
      const size_t take = end == std::string::npos ? pending_.size() : end;
      line.assign(pending_, 0, take);
      pending_.erase(0, end == std::string::npos ? take : take + 1);
      std::erase(line, '\r');
      return true;
    }
    if (ended_) return false;
    char chunk[4096];
    const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
    if (n > 0) {
      pending_.append(chunk, static_cast<size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      ended_ = true;
    }
  }
}

bool PosixConsole::enter_key_mode() {
  if (!terminal_) return false;
  if (key_mode_) return true;
  if (tcgetattr(STDIN_FILENO, &saved_) != 0) return false;
  posix_interrupt::arm_terminal(saved_);
  termios raw = saved_;
  // Single keys without echo; Ctrl+C still interrupts.
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  tcsetattr(STDIN_FILENO, TCSANOW, &raw);
  key_mode_ = true;
  return true;
}

void PosixConsole::leave_key_mode() {
  tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
  posix_interrupt::disarm_terminal();
  key_mode_ = false;
}

void PosixConsole::wait_key() {
  erase_status();
  // Bytes already read into our own buffer are keys too.
  if (!pending_.empty()) return;
  const bool was_key_mode = key_mode_;
  if (!enter_key_mode()) return;
  pollfd p{STDIN_FILENO, POLLIN, 0};
  while (poll(&p, 1, -1) < 0 && errno == EINTR) {
  }
  if (!was_key_mode) leave_key_mode();
}

void PosixConsole::set_key_mode(bool on) {
  if (on) {
    if (key_mode_depth_++ == 0) enter_key_mode();
  } else if (key_mode_depth_ > 0 && --key_mode_depth_ == 0 && key_mode_) {
    leave_key_mode();
  }
}

int PosixConsole::poll_key() {
  if (!key_mode_) return -1;
  pollfd p{STDIN_FILENO, POLLIN, 0};
  if (poll(&p, 1, 0) <= 0 || (p.revents & POLLIN) == 0) return -1;
  unsigned char key = 0;
  if (::read(STDIN_FILENO, &key, 1) != 1) return -1;
  return key;
}

bool PosixConsole::has_keyboard() const { return terminal_; }

bool PosixConsole::shows_status() const { return status_terminal_; }

void PosixConsole::status(std::string_view line) {
  if (!status_terminal_) return;
  // One column short of the width: a line that filled it would leave the
  // cursor waiting to wrap, and the next carriage return on the line below.
  const size_t width = terminal_width(STDERR_FILENO) - 1;
  line = line.substr(0, width);
  if (line == shown_) return;
  // Drawn first, then the rest of the old line cleared: no flicker.
  std::string draw = "\r";
  draw += line;
  draw += "\033[K";
  // The interrupt path is told before the line appears and after it has
  // gone, so that a Ctrl+C at any moment leaves nothing of it standing.
  if (!line.empty()) posix_interrupt::set_status_shown(true);
  write_all(STDERR_FILENO, draw);
  shown_ = line;
  if (line.empty()) posix_interrupt::set_status_shown(false);
}

void PosixConsole::diagnostic(std::string_view line) {
  erase_status();
  std::string text = "chipferry: ";
  text += line;
  text += '\n';
  write_all(STDERR_FILENO, text);
}

void PosixConsole::erase_status() {
  if (!shown_.empty()) status({});
}

}  // namespace chipferry
