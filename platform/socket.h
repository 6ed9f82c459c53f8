// A TCP connection for the serial port on another machine, every wait of
// it bounded: the connect, each send and receive, the close. One header;
// the system's sockets behind it in socket-posix.cc and socket-win32.cc
// (Winsock), so that the port's protocol above is one source everywhere.
//
// The connection carries single bytes at a serial line's pace, so Nagle's
// coalescing is off (a command or a break must not wait for an
// acknowledgement), and an idle connection is probed every few seconds,
// so that a network that has gone is noticed during a long wait for the
// programmer, and not two hours later.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace chipferry {

/// More than a serial line at 19,200 baud carries in half a minute: a
/// port server that sends this much after our end of the connection has
/// closed is not passing a line on.
constexpr size_t kMostDroppedAtClose = 65536;

enum class ConnectResult {
  ok,
  no_such_host,  ///< the name is known to no resolver
  refused,       ///< every address of the host refused the connection
  failed,        ///< no answer in time, no route, and every other reason
  interrupted,   ///< the run must end (Ctrl+C) before an answer came
};

/// A connection to a port server, as the network port uses it. The
/// machine's is TcpConnection; the tests put a server in memory in its
/// place, on their virtual clock.
class Connection {
 public:
  Connection() = default;
  virtual ~Connection() = default;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  /// Resolves `host` and connects to `port` on its addresses in turn,
  /// within `timeout_ms` in all. The name lookup itself is bounded by the
  /// system's resolver, not by `timeout_ms`. A request to end the run
  /// (Ctrl+C) ends the wait for an answer.
  virtual ConnectResult connect(const std::string& host, uint16_t port, uint32_t timeout_ms) = 0;

  /// Waits at most `timeout_ms` for bytes and reads what has come, at most
  /// `buffer.size()`. The count read; 0 when nothing came in time; -1 when
  /// the connection has ended: closed or reset by the other end, or given
  /// up by the system when probes or data went unanswered (error_text()
  /// says which).
  virtual long receive(std::span<uint8_t> buffer, uint32_t timeout_ms) = 0;
  /// Sends what the connection takes of `bytes` within `timeout_ms`. The
  /// count taken, 0 when there was no room in time; -1 when the connection
  /// has ended.
  virtual long send(std::span<const uint8_t> bytes, uint32_t timeout_ms) = 0;
  /// True once everything sent has reached the other end, as far as the
  /// system can tell; where it cannot (Windows), true.
  virtual bool all_delivered() const = 0;

  /// Sends no more, lets the other end see everything sent, waits at most
  /// `timeout_ms` for it to close its side, and closes. What the other end
  /// sends meanwhile is dropped; once that is more than kMostDroppedAtClose,
  /// it is not closing, and the wait ends at once.
  virtual void close(uint32_t timeout_ms) = 0;
  virtual bool is_open() const = 0;

  /// True once the run has been asked to end (Ctrl+C): a wait for the
  /// server that nothing has come of yet (the connect, the port's set-up)
  /// then ends, as the console's waits do.
  virtual bool run_ending() const = 0;

  /// The system's words for the last failure.
  virtual const std::string& error_text() const = 0;
};

class TcpConnection final : public Connection {
 public:
  TcpConnection() = default;
  ~TcpConnection() override;

  ConnectResult connect(const std::string& host, uint16_t port, uint32_t timeout_ms) override;
  long receive(std::span<uint8_t> buffer, uint32_t timeout_ms) override;
  long send(std::span<const uint8_t> bytes, uint32_t timeout_ms) override;
  bool all_delivered() const override;
  void close(uint32_t timeout_ms) override;
  bool is_open() const override;
  bool run_ending() const override;
  const std::string& error_text() const override { return error_; }

 private:
  std::intptr_t socket_ = -1;  ///< a descriptor, or a Winsock SOCKET; -1: none
  std::string error_;
};

}  // namespace chipferry
