// The serial port on another machine. CHIPFERRY_COM1=rfc2217://HOST:PORT
// reaches a port server (ser2net, say, on a small board beside the
// programmer) over TCP and speaks Telnet's serial port option to it
// (remote/rfc2217.h). The same source serves Linux and Windows; the
// sockets are behind platform/socket.h. Its waits count on the program's
// Clock, so that the tests run it on their virtual clock, against a port
// server in memory.
//
// The port's steps, on the connection:
//  - open: the connection, bounded in time; then the set-up: the Telnet
//    options, one question to the port server that shows it has its
//    serial port open, and the programmer's line (platform/line.h), each
//    setting sent and confirmed by the server with the value it has put in
//    force; the server's answers to all of it within 5 s. A URL that is
//    not one, no such host, or a connection refused is a port that does
//    not exist; no answer in time, no route, or a connection that ends
//    before the set-up is done (ser2net's way of saying it cannot open its
//    device) is a port that cannot be opened. A request to end the run
//    (Ctrl+C) ends the connect and the set-up at once: the port is then
//    not had, and nothing has reached the programmer.
//  - get_state: the connection is still there.
//  - set_state: the server has put the line in force. Another value, no
//    answer in time, or a server without the serial port option or
//    without 8-bit Telnet is a refusal.
//  - read_byte, write_byte: one byte within the port's time-outs, whatever
//    the server sends: Telnet's own bytes, however many, do not hold a
//    read past its time-out. What the network brings at once is kept and
//    handed out a byte per read, as the termios backend does; a written
//    byte counts once the system has taken it, as a byte in a local
//    port's queue does. As that queue is bounded, writes run no more than
//    a second of the line ahead of the server's line, so that a discard or
//    a break does not wait behind a whole image.
//  - the break: a command on the same stream as the data, so it follows
//    the last data byte in order. Its answer is not waited for; a server
//    that refuses it (ser2net does, on a pseudo-terminal) is noted in the
//    trace, and the program goes on, as it does with a local port's break.
//  - wait_output_drained: every byte sent has reached the server (where
//    the system can tell), and the server's line has had the time to carry
//    them all at the line's rate from when they were written.
//  - discard_output: the server drops what it holds for the line
//    (PURGE-DATA); bytes the network still carries cannot be called back.
//  - close: what is left is sent, and the server is given a moment (3 s
//    at most) to pass it on and close its side, so that the closing bytes
//    reach the programmer; then the connection is closed.
// A connection that ends (the server closed or reset it, the network
// stopped answering the keep-alive's probes, a send failed) is a device
// that has gone: the call that finds it, and every call after it, reports
// gone at once, and error_text() says why. So is a server that makes the
// client's memory grow past its bounds (remote/rfc2217.h: data nobody
// reads, answers it does not read): it is given up, and error_text() says
// what it did; during the set-up, set_state refuses it.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/deadline.h"
#include "platform/serial.h"
#include "platform/socket.h"
#include "remote/rfc2217.h"

namespace chipferry {

class Rfc2217Serial : public SerialDevice {
 public:
  /// `url`: what COM1 stands for, rfc2217://HOST:PORT; `clock` times every
  /// wait; `connection` reaches the server.
  Rfc2217Serial(std::string url, Clock& clock, std::unique_ptr<Connection> connection)
      : url_(std::move(url)), clock_(clock), connection_(std::move(connection)) {}

  OpenResult open(const char* port_name) override;
  std::string device_path(const char* port_name) const override;
  bool get_state() override;
  bool set_state() override;
  bool set_timeouts(const Timeouts& timeouts) override;
  ByteIo write_byte(uint8_t byte) override;
  ByteIo read_byte(uint8_t& byte) override;
  void set_break(bool on) override;
  bool wait_output_drained(uint32_t max_ms) override;
  void discard_output() override;
  void close() override;
  std::string error_text() const override { return error_; }
  std::string advice() const override { return advice_; }
  std::string gone_advice() const override;
  void set_note_sink(const std::function<void(std::string_view note)>& sink) override;
  /// The mark of an upload under way, kept on this machine for the URL.
  std::string mark_upload(bool on) override;
  bool upload_marked() override;

 private:
  using Asked = std::vector<std::shared_ptr<const rfc2217::Request>>;
  /// Why set_state refuses the line: the system's words and a hint.
  struct Refusal {
    std::string reason;
    std::string advice;
  };

  OpenResult connect(const rfc2217::Address& address);
  void set_up();
  void refuse_line(std::string reason, std::string advice);
  ByteIo after_loss() const;
  bool send_pending(uint32_t max_ms);
  bool receive(uint32_t max_ms);
  bool await(const std::function<bool()>& done, const Deadline& deadline, uint32_t slice_ms,
             bool set_up);
  bool exchange(std::span<const rfc2217::Setting> settings, Asked& asked, const Deadline& deadline);
  void note_refused_breaks();
  uint64_t now_us() const { return clock_.now_ms() * 1000; }
  void lose();
  void give_up(const std::string& what);
  void note(const std::string& text);

  std::string url_;
  Clock& clock_;
  std::unique_ptr<Connection> connection_;
  rfc2217::Client client_;
  /// The connection has ended, or the server was given up: nothing more
  /// goes to it.
  bool lost_ = false;
  bool given_up_ = false;
  /// The run was asked to end during the set-up.
  bool ending_ = false;
  /// set_state found the line in force: from then on a loss is a port gone.
  bool set_up_ = false;
  std::optional<Refusal> refusal_;
  std::string error_;
  std::string advice_;
  /// The breaks asked whose answers have not come, oldest first.
  std::deque<std::shared_ptr<const rfc2217::Request>> breaks_;
  /// When the server's line can have carried every byte written so far,
  /// in microseconds of clock_.
  uint64_t line_done_us_ = 0;
  uint32_t read_timeout_ms_ = 0;
  uint32_t write_timeout_ms_ = 0;
  std::function<void(std::string_view)> note_sink_;
};

/// The network backend when `device`, what COM1 stands for, is an
/// rfc2217:// URL, on a TCP connection and timed by `clock`; nothing when
/// it names a local device.
std::unique_ptr<SerialDevice> remote_serial(const std::string& device, Clock& clock);

}  // namespace chipferry
