#include "platform/console-posix.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

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

// False when the bytes cannot all be written: errno tells why. A signal
// that asks the run to end gives up on the rest; the run is ending, and a
// reader that stopped reading would otherwise hold it here.
bool write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR && posix_interrupt::received() == Stop::none) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

bool is_pipe(int fd) {
  struct stat info {};
  return fstat(fd, &info) == 0 && (S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode));
}

}  // namespace

PosixConsole::PosixConsole()
    : terminal_(isatty(STDIN_FILENO) == 1),
      status_terminal_(isatty(STDERR_FILENO) == 1),
      output_is_pipe_(is_pipe(STDOUT_FILENO)) {}

PosixConsole::~PosixConsole() {
  if (key_mode_) leave_key_mode();
  erase_status();
}

void PosixConsole::write(std::string_view text) {
  erase_status();
  if (output_gone_) return;
  if (!write_all(STDOUT_FILENO, text) && errno == EPIPE) output_gone_ = true;
}

Stop PosixConsole::stop_requested() {
  if (const Stop stop = posix_interrupt::received(); stop != Stop::none) return stop;
  return output_gone_ ? Stop::output_gone : Stop::none;
}

bool PosixConsole::wait_for_input() {
  sigset_t noted;
  sigset_t before;
  sigemptyset(&noted);
  posix_interrupt::add_noted_signals(noted);
  sigprocmask(SIG_BLOCK, &noted, &before);
  bool ready = false;
  while (stop_requested() == Stop::none) {
    pollfd p[2] = {{STDIN_FILENO, POLLIN, 0}, {STDOUT_FILENO, 0, 0}};
    const int n = ppoll(p, output_is_pipe_ ? 2 : 1, nullptr, &before);
    if (n < 0 && errno == EINTR) continue;
    if (output_is_pipe_ && (p[1].revents & (POLLERR | POLLHUP)) != 0) {
      output_gone_ = true;
    } else if (n < 0 || p[0].revents != 0) {
      // Input, its end, or a failure that read() is to report.
      ready = true;
      break;
    }
  }
  sigprocmask(SIG_SETMASK, &before, nullptr);
  return ready;
}

bool PosixConsole::read_input(std::string& piece) {
  erase_status();
  piece.clear();
  for (;;) {
    // Up to the line end, or as much as fits in the piece.
    const size_t room = std::min(end_ - next_, kInputPiece - piece.size());
    const char* from = input_ + next_;
    const auto* line_end = static_cast<const char*>(std::memchr(from, '\n', room));
    const size_t take = line_end != nullptr ? static_cast<size_t>(line_end - from) + 1 : room;
    piece.append(from, take);
    next_ += take;
    if (line_end != nullptr || piece.size() == kInputPiece) return true;
    if (ended_) return !piece.empty();
    if (!wait_for_input()) return false;
    const ssize_t n = ::read(STDIN_FILENO, input_, sizeof input_);
    if (n > 0) {
      next_ = 0;
      end_ = static_cast<size_t>(n);
    } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
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
  if (next_ < end_) return;
  const bool was_key_mode = key_mode_;
  if (!enter_key_mode()) return;
  wait_for_input();
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
  // Drawn first, then the rest of the old line cleared: no flicker.
  std::string draw = "\r";
  draw += line;
  draw += "\033[K";
  // The interrupt path is told before the line appears and after it has
  // gone, so that a second Ctrl+C at any moment leaves nothing of it
  // standing.
  if (!line.empty()) posix_interrupt::set_status_shown(true);
  (void)write_all(STDERR_FILENO, draw);
  shown_ = line;
  if (line.empty()) posix_interrupt::set_status_shown(false);
}

void PosixConsole::diagnostic(std::string_view line) {
  erase_status();
  std::string text = "chipferry: ";
  text += line;
  text += '\n';
  // Nothing is to be done about a standard error that cannot be written.
  (void)write_all(STDERR_FILENO, text);
}

void PosixConsole::erase_status() {
  if (!shown_.empty()) status({});
}

}  // namespace chipferry
