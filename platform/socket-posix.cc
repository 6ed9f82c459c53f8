#include "platform/socket-posix.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/clock.h"
#include "platform/connect_each.h"
#include "platform/deadline.h"
#include "platform/interrupt-posix.h"
#include "platform/poll-posix.h"

namespace chipferry {
namespace {

void tune(int fd) {
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
#ifdef TCP_KEEPIDLE
  // A silent network is given up after about 25 s without an answer.
  const int idle_s = 10;
  const int interval_s = 5;
  const int probes = 3;
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle_s, sizeof idle_s);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval_s, sizeof interval_s);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
#endif
}

bool stop_received() { return posix_interrupt::received() != Stop::none; }

// The answer to a connect on `fd`, until `deadline`: 0 for a connection,
// or the errno that says why not. A request to end the run cuts the wait
// short: nothing has gone to the programmer yet. It is looked for between
// short waits, for a signal that comes just before one does not cut it.
int await_connect(int fd, const Deadline& deadline) {
  for (;;) {
    if (stop_received()) return EINTR;
    const uint32_t left = deadline.left_ms();
    if (left == 0) return ETIMEDOUT;
    if (wait_for(fd, POLLOUT, Deadline(std::min(left, kEndLookMs))) == 0) continue;
    int error = 0;
    socklen_t size = sizeof error;
    return getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 ? error : errno;
  }
}

// One address, until `deadline`: 0 with `fd` connected, or the errno that
// says why not. The name lookup before it cannot be cut short; this can.
int connect_to(const addrinfo& address, const Deadline& deadline, int& fd) {
  fd = -1;
  if (stop_received()) return EINTR;
  fd = ::socket(address.ai_family, address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return errno;
  int error = 0;
  if (::connect(fd, address.ai_addr, address.ai_addrlen) != 0) {
    error = errno == EINPROGRESS || errno == EINTR ? await_connect(fd, deadline) : errno;
  }
  if (error != 0) {
    ::close(fd);
    fd = -1;
    return error;
  }
  tune(fd);
  return 0;
}

Attempt attempt_from(int error) {
  if (error == 0) return Attempt::connected;
  if (error == ECONNREFUSED) return Attempt::refused;
  if (error == ETIMEDOUT) return Attempt::timed_out;
  return error == EINTR ? Attempt::interrupted : Attempt::failed;
}

// An established connection's end, in words for the person at the
// program: the keep-alive's or the retransmission's time-out is the
// network that fell silent.
std::string ended_text(int error) {
  if (error == ETIMEDOUT)
    return "the network stopped answering (" + std::string(std::strerror(error)) + ")";
  return std::strerror(error);
}

bool no_such_name(int gai_error) {
  switch (gai_error) {
    case EAI_NONAME:
#ifdef EAI_NODATA
    case EAI_NODATA:
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY:
#endif
      return true;
    default:
      return false;
  }
}

}  // namespace

ConnectResult connect_addresses(const addrinfo* list, uint32_t timeout_ms, int& fd,
                                std::string& error) {
  fd = -1;
  return connect_each(list, timeout_ms, error,
                      [&](const addrinfo& address, const Deadline& deadline) {
                        const int failure = connect_to(address, deadline, fd);
                        if (failure != 0) error = std::strerror(failure);
                        return attempt_from(failure);
                      });
}

TcpConnection::~TcpConnection() { close(0); }

bool TcpConnection::is_open() const { return socket_ >= 0; }

bool TcpConnection::run_ending() const { return stop_received(); }

ConnectResult TcpConnection::connect(const std::string& host, uint16_t port, uint32_t timeout_ms) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* list = nullptr;
  const int found = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list);
  if (found != 0) {
    error_ = found == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(found);
    return no_such_name(found) ? ConnectResult::no_such_host : ConnectResult::failed;
  }
  int fd = -1;
  const ConnectResult result = connect_addresses(list, timeout_ms, fd, error_);
  socket_ = fd;
  freeaddrinfo(list);
  return result;
}

long TcpConnection::receive(std::span<uint8_t> buffer, uint32_t timeout_ms) {
  const int fd = static_cast<int>(socket_);
  const Deadline deadline(timeout_ms);
  for (;;) {
    const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
    if (n > 0) return static_cast<long>(n);
    if (n == 0) {
      error_ = "the port server closed the connection";
      return -1;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      error_ = ended_text(errno);
      return -1;
    }
    if (deadline.left_ms() == 0 || wait_for(fd, POLLIN, deadline) == 0) return 0;
  }
}

long TcpConnection::send(std::span<const uint8_t> bytes, uint32_t timeout_ms) {
  const int fd = static_cast<int>(socket_);
  const Deadline deadline(timeout_ms);
  size_t sent = 0;
  while (sent < bytes.size()) {
    // MSG_NOSIGNAL: a connection that has ended is an error here, not a
    // SIGPIPE that ends the run.
    const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      error_ = ended_text(errno);
      return -1;
    }
    if (deadline.left_ms() == 0 || wait_for(fd, POLLOUT, deadline) == 0) break;
  }
  return static_cast<long>(sent);
}

bool TcpConnection::all_delivered() const {
  // TIOCOUTQ on a socket is SIOCOUTQ: what is not yet acknowledged.
  int queued = 0;
  if (ioctl(static_cast<int>(socket_), TIOCOUTQ, &queued) != 0) return true;
  return queued == 0;
}

void TcpConnection::close(uint32_t timeout_ms) {
  if (socket_ < 0) return;
  const int fd = static_cast<int>(socket_);
  // Our end first: the other end sees everything sent, then the end of it.
  // What it still sends meanwhile is read and dropped, for a close with
  // unread bytes would reset the connection, and a reset may cost the
  // other end bytes it has not passed on to the serial line yet.
  shutdown(fd, SHUT_WR);
  const Deadline deadline(timeout_ms);
  uint8_t dropped[512];
  size_t dropped_in_all = 0;
  while (dropped_in_all <= kMostDroppedAtClose) {
    const ssize_t n = ::recv(fd, dropped, sizeof dropped, 0);
    if (n > 0) {
      dropped_in_all += static_cast<size_t>(n);
      // An end that keeps sending still gets no more than its time.
      if (deadline.left_ms() == 0) break;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    const bool nothing_yet = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    // Its side closed, a failure, or the time is up.
    if (!nothing_yet || deadline.left_ms() == 0 || wait_for(fd, POLLIN, deadline) == 0) break;
  }
  ::close(fd);
  socket_ = -1;
}

}  // namespace chipferry
