#include "sim/pty_host.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "chipferry/version.h"

namespace chipferry::sim {
namespace {

constexpr int64_t kNsPerMs = 1'000'000;
// 19,200 baud with a start and a stop bit: ten bits a byte.
constexpr int64_t kByteNs = 10 * 1'000'000'000LL / 19200;
constexpr int64_t kNever = INT64_MAX;
// With pacing, the line takes the program's bytes as a UART does: into a
// FIFO of this many bytes, emptied at line rate. Everything else the
// program has written waits in the kernel's queue (the pseudo-terminal's
// buffer), where the program's own discard drops it, and where a full
// queue makes its writes time out as a real port's would.
constexpr size_t kFifoBytes = 16;
constexpr size_t kInputChunk = 4096;
constexpr size_t kOutputChunk = 4096;
// A paced transfer wakes the host every byte; the log still reaches its
// file this often, so that a reader of the file sees the line as it goes.
constexpr int64_t kLogFlushNs = 100 * kNsPerMs;

int64_t steady_ns() {
  using namespace std::chrono;
  return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
}

uint64_t to_ms(int64_t ns) { return static_cast<uint64_t>(ns / kNsPerMs); }

bool make_raw(int fd) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return false;
  cfmakeraw(&tio);
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  return tcsetattr(fd, TCSANOW, &tio) == 0;
}

void set_cloexec(int fd) { fcntl(fd, F_SETFD, fcntl(fd, F_GETFD) | FD_CLOEXEC); }

}  // namespace

// ---------------------------------------------------------------------------
// TrafficLog

bool TrafficLog::open(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "we");
  if (file == nullptr) return false;
  writer_.start(file, std::string("chipferry-sim ") + CHIPFERRY_VERSION, "chipferry-sim started",
                false);
  return true;
}

void TrafficLog::byte(char direction, uint8_t byte, int64_t at_ns) {
  writer_.byte(direction, byte, to_ms(at_ns));
}

void TrafficLog::event(int64_t at_ns, trace::Event event, const std::string& detail) {
  writer_.event(to_ms(at_ns), event, detail);
}

void TrafficLog::note(int64_t at_ns, const std::string& text) { writer_.note(to_ms(at_ns), text); }

// ---------------------------------------------------------------------------
// PtyHost

PtyHost::PtyHost(Peer& peer, TrafficLog& log, bool pace)
    : peer_(peer), log_(log), pace_(pace), start_ns_(steady_ns()) {}

PtyHost::~PtyHost() {
  for (int fd : {watch_fd_, slave_fd_, master_fd_}) {
    if (fd >= 0) ::close(fd);
  }
}

int64_t PtyHost::now_ns() const { return steady_ns() - start_ns_; }

bool PtyHost::open(std::string& error) {
  char name[256] = {};
  if (openpty(&master_fd_, &slave_fd_, name, nullptr, nullptr) != 0) {
    error = std::string("cannot open a pseudo-terminal: ") + std::strerror(errno);
    return false;
  }
  path_ = name;
  set_cloexec(master_fd_);
  set_cloexec(slave_fd_);
  fcntl(master_fd_, F_SETFL, fcntl(master_fd_, F_GETFL) | O_NONBLOCK);
  fcntl(slave_fd_, F_SETFL, fcntl(slave_fd_, F_GETFL) | O_NONBLOCK);
  // Raw at both ends: no echo, no line editing, no character mapping. An
  // echo would send the program's own bytes back to it.
  if (!make_raw(master_fd_) || !make_raw(slave_fd_)) {
    error = std::string("cannot set the pseudo-terminal raw: ") + std::strerror(errno);
    return false;
  }
  // Packet mode tells us when the program discards what it has not sent.
  int on = 1;
  if (ioctl(master_fd_, TIOCPKT, &on) != 0) {
    error = std::string("cannot put the pseudo-terminal in packet mode: ") + std::strerror(errno);
    return false;
  }
  watch_fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (watch_fd_ >= 0 &&
      inotify_add_watch(watch_fd_, name, IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0) {
    ::close(watch_fd_);
    watch_fd_ = -1;
  }
  if (watch_fd_ < 0) log_.note(now_ns(), "cannot watch the port; treating it as always open");
  log_.note(now_ns(), "serving " + path_ + (pace_ ? ", paced at 19200 baud" : ", unpaced"));
  return true;
}

bool PtyHost::line_quiet() const {
  // Bytes waiting in the kernel were written while we were not looking;
  // however late we see them, the line was not quiet.
  if (!input_.empty()) return false;
  int waiting = 0;
  return ioctl(master_fd_, FIONREAD, &waiting) != 0 || waiting == 0;
}

size_t PtyHost::fifo_room() const {
  if (!pace_) return kInputChunk;
  return input_.size() < kFifoBytes ? kFifoBytes - input_.size() : 0;
}

void PtyHost::read_input(int64_t now, bool whole_queue) {
  for (;;) {
    const size_t room = whole_queue ? kInputChunk : fifo_room();
    if (room == 0) return;
    // In packet mode every read starts with a header byte: 0 before data,
    // or the terminal's status on its own.
    uint8_t packet[kInputChunk + 1];
    const ssize_t n = ::read(master_fd_, packet, room + 1);
    if (n <= 0) return;  // EAGAIN: all taken
    if (packet[0] != TIOCPKT_DATA) {
      if ((packet[0] & TIOCPKT_FLUSHWRITE) != 0) program_discarded(now);
      continue;
    }
    for (ssize_t i = 1; i < n; ++i) {
      const int64_t at = pace_ && !whole_queue ? std::max(now, input_free_ns_) : now;
      input_free_ns_ = at + kByteNs;
      input_.push_back({packet[i], at});
    }
  }
}

void PtyHost::program_discarded(int64_t now) {
  // What a UART has in its FIFO still goes out; the bytes that would have
  // fitted there by now are taken first. The rest never reaches the line.
  feed_input(now);
  read_input(now, false);
  int unsent = 0;
  ioctl(master_fd_, FIONREAD, &unsent);
  tcflush(master_fd_, TCIFLUSH);
  if (unsent > 0) {
    log_.event(now, trace::Event::output_discarded,
               std::to_string(unsent) + " byte(s) not yet on the line");
  }
  peer_.program_discarded(input_.size(), to_ms(now));
}

void PtyHost::feed_input(int64_t now) {
  while (!input_.empty() && input_.front().at_ns <= now) {
    const Arrival a = input_.front();
    input_.pop_front();
    log_.byte(trace::kSent, a.byte, a.at_ns);
    peer_.receive(a.byte, to_ms(a.at_ns));
    if (const auto quiet_ms = peer_.quiet_check_ms()) {
      silence_wake_ns_ = a.at_ns + static_cast<int64_t>(*quiet_ms) * kNsPerMs;
    }
  }
}

void PtyHost::discard_unread() {
  // Not tcflush(): it leaves bytes the kernel has not yet passed on to the
  // terminal end, while a read first waits for those.
  char chunk[4096];
  while (::read(slave_fd_, chunk, sizeof chunk) > 0) {
  }
}

void PtyHost::hang_up(int64_t now) {
  for (int* fd : {&watch_fd_, &slave_fd_, &master_fd_}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
  input_.clear();
  output_.clear();
  log_.note(now, "hung up: the line is gone, as when a USB adapter is pulled");
  log_.flush();
}

void PtyHost::watch_openers(int64_t now) {
  if (watch_fd_ < 0) return;
  alignas(inotify_event) char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(watch_fd_, buffer, sizeof buffer);
    if (n <= 0) return;
    for (ssize_t at = 0; at < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      if ((event->mask & IN_OPEN) != 0) {
        if (openers_++ == 0) {
          log_.event(now, trace::Event::port_opened);
          peer_.port_opened(to_ms(now));
        }
      } else if ((event->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) != 0) {
        if (openers_ == 0 || --openers_ > 0) continue;
        // What the last opener wrote before closing still counts; what it
        // left unread is gone with it.
        take_all_input(now);
        peer_.drop_output();
        output_.clear();
        discard_unread();
        // The program asked for exclusive use of the port; the request
        // must not outlive it, or nobody but root could open it again.
        ioctl(slave_fd_, TIOCNXCL);
        log_.event(now, trace::Event::port_closed);
        peer_.port_closed(to_ms(now));
      }
    }
  }
}

void PtyHost::stage_output(int64_t now) {
  size_t dropped = 0;
  while (output_.size() < kOutputChunk) {
    const auto ready = peer_.next_ready();
    if (!ready) break;
    int64_t at = static_cast<int64_t>(*ready) * kNsPerMs;
    if (pace_) at = std::max(at, output_free_ns_);
    if (at > now) break;
    const uint8_t byte = peer_.take();
    if (!port_open()) {
      ++dropped;
      continue;
    }
    output_.push_back(static_cast<char>(byte));
    log_.byte(trace::kReceived, byte, at);
    if (pace_) output_free_ns_ = at + kByteNs;
  }
  if (dropped > 0) {
    log_.note(now, std::to_string(dropped) + " byte(s) lost: nobody has the port open");
  }
}

void PtyHost::write_output() {
  while (!output_.empty()) {
    const ssize_t n = ::write(master_fd_, output_.data(), output_.size());
    if (n <= 0) return;  // the program has not read enough yet
    output_.erase(0, static_cast<size_t>(n));
  }
}

int64_t PtyHost::next_deadline() const {
  int64_t deadline = silence_wake_ns_ >= 0 ? silence_wake_ns_ : kNever;
  if (!input_.empty()) deadline = std::min(deadline, input_.front().at_ns);
  if (const auto timer = peer_.timer_ms()) {
    deadline = std::min(deadline, static_cast<int64_t>(*timer) * kNsPerMs);
  }
  if (output_.size() < kOutputChunk) {
    if (const auto ready = peer_.next_ready()) {
      int64_t at = static_cast<int64_t>(*ready) * kNsPerMs;
      if (pace_) at = std::max(at, output_free_ns_);
      deadline = std::min(deadline, at);
    }
  }
  return deadline;
}

void PtyHost::drain() {
  if (master_fd_ < 0) return;  // hung up: nothing more comes
  const int64_t now = now_ns();
  take_all_input(now);
  watch_openers(now);
  log_.flush();
}

void PtyHost::take_all_input(int64_t now) {
  for (;;) {
    read_input(now, true);
    if (input_.empty()) break;
    // Whatever the line still owes is delivered now.
    for (Arrival& a : input_) a.at_ns = std::min(a.at_ns, now);
    input_free_ns_ = now;
    feed_input(now);
  }
}

void PtyHost::serve(int wake_fd) {
  for (;;) {
    const int64_t now = now_ns();
    watch_openers(now);
    feed_input(now);
    read_input(now, false);
    // A program opens the port before it writes, but the open may reach us
    // only after its first bytes were read: looked at again, it is counted
    // before those bytes are answered, or the answer is lost as sent to
    // nobody.
    watch_openers(now);
    feed_input(now);
    if (line_quiet()) peer_.advance(to_ms(now));
    if (silence_wake_ns_ >= 0 && silence_wake_ns_ <= now) silence_wake_ns_ = -1;
    if (const auto timer = peer_.timer_ms(); timer && *timer <= to_ms(now)) {
      peer_.on_timer(to_ms(now));
    }
    if (peer_.hung_up()) {
      if (master_fd_ >= 0) hang_up(now);
      return;
    }
    stage_output(now);
    write_output();
    if (peer_.ended()) {
      log_.flush();
      return;
    }

    const int64_t deadline = next_deadline();
    if (deadline <= now) continue;
    // Everything logged so far reaches the file before a sleep, and the
    // lines already complete at least every kLogFlushNs.
    if (deadline - now > 2 * kNsPerMs) {
      log_.flush();
      log_flushed_ns_ = now;
    } else if (now - log_flushed_ns_ > kLogFlushNs) {
      log_.sync();
      log_flushed_ns_ = now;
    }

    // A full FIFO takes nothing more until its next byte has gone.
    pollfd fds[3] = {{wake_fd, POLLIN, 0}, {master_fd_, 0, 0}, {watch_fd_, POLLIN, 0}};
    if (fifo_room() > 0) fds[1].events |= POLLIN;
    if (!output_.empty()) fds[1].events |= POLLOUT;
    timespec timeout{};
    if (deadline != kNever) {
      const int64_t wait = deadline - now;
      timeout.tv_sec = static_cast<time_t>(wait / 1'000'000'000);
      timeout.tv_nsec = static_cast<long>(wait % 1'000'000'000);
    }
    const int n =
        ppoll(fds, watch_fd_ >= 0 ? 3 : 2, deadline == kNever ? nullptr : &timeout, nullptr);
    if (n > 0 && (fds[0].revents & POLLIN) != 0) {
      log_.flush();
      return;
    }
  }
}

}  // namespace chipferry::sim
