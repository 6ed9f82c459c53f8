// Winsock before windows.h, which would bring the first Winsock's header.
#include <winsock2.h>
#include <ws2tcpip.h>
// mstcpip.h after them: it uses their types.
#include <mstcpip.h>

#include <string>

#include "platform/clock.h"
#include "platform/connect_each.h"
#include "platform/deadline.h"
#include "platform/error-win32.h"
#include "platform/interrupt-win32.h"
#include "platform/socket.h"

namespace chipferry {
namespace {

SOCKET handle(std::intptr_t socket) { return static_cast<SOCKET>(socket); }

// Waits for `events` (POLLIN, POLLOUT) on `s` until `deadline`. The events
// seen, 0 on time-out; a connect that failed shows as POLLERR. select(),
// not WSAPoll: WSAPoll does not report a connection that was refused on
// many versions of Windows.
short wait_for(SOCKET s, short events, const Deadline& deadline) {
  fd_set ready;
  fd_set errors;
  FD_ZERO(&ready);
  FD_ZERO(&errors);
  FD_SET(s, &ready);
  FD_SET(s, &errors);
  const bool write = (events & POLLOUT) != 0;
  const long ms = static_cast<long>(deadline.left_ms());
  timeval timeout{ms / 1000, (ms % 1000) * 1000};
  const int n = select(0, write ? nullptr : &ready, write ? &ready : nullptr, &errors, &timeout);
  if (n <= 0) return 0;
  if (FD_ISSET(s, &errors) != 0) return POLLERR;
  return events;
}

void tune(SOCKET s) {
  const BOOL on = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
  setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&on), sizeof on);
  // A silent network is probed after 10 s, then every 5 s.
  tcp_keepalive values{1, 10000, 5000};
  DWORD size = 0;
  WSAIoctl(s, SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &size, nullptr, nullptr);
}

// The answer to a connect on `s`, until `deadline`: 0 for a connection, or
// the Winsock error that says why not. The console's Ctrl+C comes on a
// thread of its own, so the wait looks for it every kEndLookMs: nothing
// has gone to the programmer yet.
int await_connect(SOCKET s, const Deadline& deadline) {
  for (;;) {
    if (win32_interrupt::received() != Stop::none) return WSAEINTR;
    const uint32_t left = deadline.left_ms();
    if (left == 0) return WSAETIMEDOUT;
    const short seen = wait_for(s, POLLOUT, Deadline(left < kEndLookMs ? left : kEndLookMs));
    if (seen != 0) {
      int error = 0;
      int size = sizeof error;
      if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) != 0) {
        return WSAGetLastError();
      }
      return (seen & POLLERR) != 0 && error == 0 ? WSAECONNREFUSED : error;
    }
  }
}

// One address, until `deadline`: the connected socket, or INVALID_SOCKET
// with `error` saying why not.
SOCKET connect_to(const addrinfo& address, const Deadline& deadline, int& error) {
  // Not inherited: a program the user starts meanwhile must not hold the
  // connection open.
  const SOCKET s = WSASocketW(address.ai_family, address.ai_socktype, address.ai_protocol, nullptr,
                              0, WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) {
    error = WSAGetLastError();
    return s;
  }
  u_long non_blocking = 1;
  ioctlsocket(s, FIONBIO, &non_blocking);
  error = 0;
  if (::connect(s, address.ai_addr, static_cast<int>(address.ai_addrlen)) != 0) {
    error = WSAGetLastError();
    if (error == WSAEWOULDBLOCK) error = await_connect(s, deadline);
  }
  if (error != 0) {
    closesocket(s);
    return INVALID_SOCKET;
  }
  tune(s);
  return s;
}

// An established connection's end, in words for the person at the
// program: the keep-alive's or the retransmission's time-out is the
// network that fell silent.
std::string ended_text(int error) {
  const std::string words = system_message(static_cast<DWORD>(error));
  const bool silent = error == WSAETIMEDOUT || error == WSAENETRESET || error == WSAECONNABORTED;
  return silent ? "the network stopped answering (" + words + ")" : words;
}

}  // namespace

TcpConnection::~TcpConnection() { close(0); }

bool TcpConnection::is_open() const { return socket_ != -1; }

bool TcpConnection::run_ending() const { return win32_interrupt::received() != Stop::none; }

ConnectResult TcpConnection::connect(const std::string& host, uint16_t port, uint32_t timeout_ms) {
  // Winsock is started once for the run, and left to the end of the
  // process to stop.
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  if (!started) {
    error_ = "Winsock cannot be started";
    return ConnectResult::failed;
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* list = nullptr;
  const int found = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list);
  if (found != 0) {
    error_ = system_message(static_cast<DWORD>(found));
    return found == WSAHOST_NOT_FOUND || found == WSANO_DATA ? ConnectResult::no_such_host
                                                             : ConnectResult::failed;
  }
  const ConnectResult result = connect_each(
      list, timeout_ms, error_, [&](const addrinfo& address, const Deadline& deadline) {
        int error = 0;
        const SOCKET s = connect_to(address, deadline, error);
        if (s != INVALID_SOCKET) {
          socket_ = static_cast<std::intptr_t>(s);
          return Attempt::connected;
        }
        error_ = system_message(static_cast<DWORD>(error));
        if (error == WSAECONNREFUSED) return Attempt::refused;
        if (error == WSAETIMEDOUT) return Attempt::timed_out;
        return error == WSAEINTR ? Attempt::interrupted : Attempt::failed;
      });
  freeaddrinfo(list);
  return result;
}

long TcpConnection::receive(std::span<uint8_t> buffer, uint32_t timeout_ms) {
  const SOCKET s = handle(socket_);
  const Deadline deadline(timeout_ms);
  for (;;) {
    const int n =
        ::recv(s, reinterpret_cast<char*>(buffer.data()), static_cast<int>(buffer.size()), 0);
    if (n > 0) return n;
    if (n == 0) {
      error_ = "the port server closed the connection";
      return -1;
    }
    const int error = WSAGetLastError();
    if (error != WSAEWOULDBLOCK) {
      error_ = ended_text(error);
      return -1;
    }
    if (deadline.left_ms() == 0 || wait_for(s, POLLIN, deadline) == 0) return 0;
  }
}

long TcpConnection::send(std::span<const uint8_t> bytes, uint32_t timeout_ms) {
  const SOCKET s = handle(socket_);
  const Deadline deadline(timeout_ms);
  size_t sent = 0;
  while (sent < bytes.size()) {
    const int n = ::send(s, reinterpret_cast<const char*>(bytes.data() + sent),
                         static_cast<int>(bytes.size() - sent), 0);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    const int error = WSAGetLastError();
    if (error != WSAEWOULDBLOCK) {
      error_ = ended_text(error);
      return -1;
    }
    if (deadline.left_ms() == 0 || wait_for(s, POLLOUT, deadline) == 0) break;
  }
  return static_cast<long>(sent);
}

// Winsock does not tell what the other end has acknowledged.
bool TcpConnection::all_delivered() const { return true; }

void TcpConnection::close(uint32_t timeout_ms) {
  if (socket_ == -1) return;
  const SOCKET s = handle(socket_);
  // As on Linux: our end first, then what the other end still sends is
  // read and dropped, so that the close is no reset.
  shutdown(s, SD_SEND);
  const Deadline deadline(timeout_ms);
  char dropped[512];
  size_t dropped_in_all = 0;
  while (dropped_in_all <= kMostDroppedAtClose) {
    const int n = ::recv(s, dropped, sizeof dropped, 0);
    if (n > 0) {
      dropped_in_all += static_cast<size_t>(n);
      // An end that keeps sending still gets no more than its time.
      if (deadline.left_ms() == 0) break;
      continue;
    }
    const bool nothing_yet = n < 0 && WSAGetLastError() == WSAEWOULDBLOCK;
    // Its side closed, a failure, or the time is up.
    if (!nothing_yet || deadline.left_ms() == 0 || wait_for(s, POLLIN, deadline) == 0) break;
  }
  closesocket(s);
  socket_ = -1;
}

}  // namespace chipferry
