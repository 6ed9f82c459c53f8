#include "platform/serial-rfc2217.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "platform/com1.h"
#include "platform/deadline.h"

namespace chipferry {
namespace {

using rfc2217::Command;
using rfc2217::Setting;

// Long enough for a port server across a slow network, short enough that a
// host that never answers is not taken for a hang.
constexpr uint32_t kConnectMs = 10000;
// The server's answers to the Telnet options and to the line settings.
constexpr uint32_t kAnswerMs = 5000;
// The server's time to pass the last bytes on to the programmer and close
// its side: a reset would cost those still in its queue, and ser2net on a
// busy machine has been seen to take more than a second.
constexpr uint32_t kCloseMs = 3000;
// A server that never answers its breaks does not make the list grow.
constexpr size_t kMaxBreaksAsked = 8;

constexpr ByteIo kGone{false, 0, true};

// A byte's time on the programmer's line: ten bits at 19,200 baud.
constexpr std::chrono::microseconds kByteOnLine{521};
// How far the bytes written may run ahead of the server's line. The
// network would take a whole image at once, and a server reads the stream
// in order: the discard of an abandon would then wait behind every byte,
// and the programmer would take the abandon's ESC and the release for
// data. A second of the line fits in what a server and its device queue
// hold (ser2net: 64 bytes and the tty's few KiB), so a discard finds them
// there, and the line is kept fed across a network's hiccups.
constexpr std::chrono::milliseconds kAheadOfLine{1000};

// The programmer's line: 19,200 baud, 8N1, RTS/CTS.
constexpr Setting kLine[] = {
    {Command::set_baud_rate, 19200},
    {Command::set_data_size, 8},
    {Command::set_parity, rfc2217::parity::kNone},
    {Command::set_stop_size, rfc2217::stop_size::kOne},
    {Command::set_control, rfc2217::control::kHardwareFlowControl},
};

const char* setting_name(Command command) {
  switch (command) {
    case Command::set_baud_rate:
      return "baud rate";
    case Command::set_data_size:
      return "data bits";
    case Command::set_parity:
      return "parity";
    case Command::set_stop_size:
      return "stop bits";
    case Command::set_control:
      return "flow control";
    case Command::purge_data:
      break;
  }
  return "setting";
}

// What a server wrote before it closed the connection, as far as it is
// text: ser2net says there why it could not open the port.
std::string server_words(const std::deque<uint8_t>& data) {
  constexpr size_t kMost = 100;
  std::string words;
  for (const uint8_t byte : data) {
    if (words.size() >= kMost) break;
    const bool printable = byte >= 0x20 && byte < 0x7F;
    if (printable) words += static_cast<char>(byte);
    if (!printable && !words.empty() && words.back() != ' ') words += ' ';
  }
  while (!words.empty() && words.back() == ' ') words.pop_back();
  return words;
}

size_t slot(Command command) { return static_cast<size_t>(command); }

}  // namespace

std::string Rfc2217Serial::device_path(const char*) const { return url_; }

OpenResult Rfc2217Serial::open(const char*) {
  rfc2217::Address address;
  if (!rfc2217::parse_url(url_, address, error_)) return OpenResult::not_found;
  if (const OpenResult connected = connect(address); connected != OpenResult::ok) return connected;
  client_.start();
  // A server that does not answer the options is not refused here: it may
  // still be a port, and set_state says what it lacks.
  send_pending(kAnswerMs);
  await([this] { return client_.settled(); }, kAnswerMs);
  // One question the server answers only with its port open: ser2net
  // closes the connection instead when it cannot open its device.
  if (!lost_ && client_.com_port()) {
    static constexpr Setting kBaudRateInForce[] = {{Command::set_baud_rate, rfc2217::kQuery}};
    exchange(kBaudRateInForce);
  }
  if (lost_) {
    const std::string words = server_words(client_.data);
    if (!words.empty()) error_ += ": \"" + words + "\"";
    advice_ = "can the port server open its serial device?";
    tcp_.close(0);
    return OpenResult::failed;
  }
  // What came before the port was set up answers nothing of ours (ser2net
  // may greet with a banner), and a local port opened afresh has nothing
  // waiting either: it would cost the first wait for a prompt its tries.
  if (!client_.data.empty()) {
    note("dropped " + std::to_string(client_.data.size()) +
         " byte(s) the server sent before the port was set up: \"" + server_words(client_.data) +
         "\"");
    client_.data.clear();
  }
  return OpenResult::ok;
}

OpenResult Rfc2217Serial::connect(const rfc2217::Address& address) {
  const ConnectResult result = tcp_.connect(address.host, address.port, kConnectMs);
  if (result != ConnectResult::ok) error_ = tcp_.error_text();
  switch (result) {
    case ConnectResult::ok:
      return OpenResult::ok;
    case ConnectResult::no_such_host:
      advice_ = "is the host's name right?";
      return OpenResult::not_found;
    case ConnectResult::refused:
      advice_ = "is the port server running there, on that port?";
      return OpenResult::not_found;
    case ConnectResult::failed:
      advice_ = "is the host on, and reachable from here?";
      return OpenResult::failed;
    case ConnectResult::interrupted:
      break;
  }
  return OpenResult::failed;
}

bool Rfc2217Serial::get_state() { return !lost_; }

bool Rfc2217Serial::set_state() {
  if (lost_) return false;
  if (!client_.com_port()) {
    return refuse("the server does not take Telnet's serial port option (RFC 2217)",
                  "is it a telnet(rfc2217) port?");
  }
  if (!client_.binary()) {
    return refuse("the server does not pass all eight bits of each byte (Telnet binary mode)", "");
  }
  if (!exchange(kLine)) {
    if (lost_) return false;
    return refuse("the server did not confirm the line settings within " +
                      std::to_string(kAnswerMs / 1000) + " s",
                  "");
  }
  for (const Setting& wanted : kLine) {
    const uint32_t answer = *answers_[slot(wanted.command)];
    if (answer != wanted.value) {
      return refuse(std::string("the server answered ") + setting_name(wanted.command) + " " +
                        std::to_string(answer) + " to " + std::to_string(wanted.value),
                    "");
    }
  }
  return true;
}

bool Rfc2217Serial::refuse(std::string reason, std::string advice) {
  error_ = std::move(reason);
  advice_ = std::move(advice);
  note(error_);
  return false;
}

bool Rfc2217Serial::set_timeouts(const Timeouts& timeouts) {
  read_timeout_ms_ = timeouts.read_ms;
  write_timeout_ms_ = timeouts.write_ms;
  return true;
}

ByteIo Rfc2217Serial::write_byte(uint8_t byte) {
  if (lost_) return kGone;
  // What went before leaves first: a byte never overtakes a command.
  if (!send_pending(write_timeout_ms_)) return lost_ ? kGone : ByteIo{true, 0};
  const auto near_the_line = [this] { return line_done_ - Steady::now() <= kAheadOfLine; };
  if (!await(near_the_line, write_timeout_ms_, 1)) return lost_ ? kGone : ByteIo{true, 0};
  client_.send_data(byte);
  send_pending(0);
  line_done_ = std::max(line_done_, Steady::now()) + kByteOnLine;
  return lost_ ? kGone : ByteIo{true, 1};
}

ByteIo Rfc2217Serial::read_byte(uint8_t& byte) {
  const Deadline deadline(read_timeout_ms_);
  for (;;) {
    // What came before the connection ended is still read.
    if (!client_.data.empty()) {
      byte = client_.data.front();
      client_.data.pop_front();
      return {true, 1};
    }
    if (lost_) return kGone;
    // Bytes that were all Telnet's own leave the read waiting on.
    if (!receive(deadline.left_ms()) && !lost_) return {true, 0};
  }
}

void Rfc2217Serial::set_break(bool on) {
  if (lost_) return;
  const uint8_t value = on ? rfc2217::control::kBreakOn : rfc2217::control::kBreakOff;
  client_.send_command(Command::set_control, value);
  if (breaks_asked_.size() < kMaxBreaksAsked) breaks_asked_.push_back(value);
  send_pending(write_timeout_ms_);
}

// The server's line is what the programmer sees, and nothing tells when
// the server has written the last byte to it: the bytes are taken to
// leave at the line's pace from when they were written. A break sent
// sooner could overtake data the server still holds, and end an upload
// short.
bool Rfc2217Serial::wait_output_drained(uint32_t max_ms) {
  const Deadline deadline(max_ms);
  if (!send_pending(max_ms)) return lost_;
  // Reading meanwhile notices a connection that ends; a connection that
  // has ended holds nothing that will still leave.
  const auto drained = [this] {
    return lost_ || (Steady::now() >= line_done_ && tcp_.all_delivered());
  };
  return await(drained, deadline.left_ms(), 5);
}

void Rfc2217Serial::discard_output() {
  if (lost_) return;
  client_.send_command(Command::purge_data, rfc2217::kPurgeTransmit);
  send_pending(write_timeout_ms_);
}

void Rfc2217Serial::close() {
  if (!tcp_.is_open()) return;
  if (lost_) {
    tcp_.close(0);
    return;
  }
  // The release has paused for its bytes; what the connection has not
  // taken by now is held back by the programmer.
  send_pending(write_timeout_ms_ * 4);
  tcp_.close(kCloseMs);
}

std::string Rfc2217Serial::gone_advice() const {
  return "is the port server still running there, and the network up?";
}

void Rfc2217Serial::set_note_sink(const std::function<void(std::string_view)>& sink) {
  note_sink_ = sink;
}

bool Rfc2217Serial::send_pending(uint32_t max_ms) {
  if (client_.out.empty()) return true;
  if (lost_) return false;
  const long sent =
      tcp_.send({reinterpret_cast<const uint8_t*>(client_.out.data()), client_.out.size()}, max_ms);
  if (sent < 0) {
    lose();
    return false;
  }
  client_.out.erase(0, static_cast<size_t>(sent));
  return client_.out.empty();
}

bool Rfc2217Serial::receive(uint32_t max_ms) {
  uint8_t raw[512];
  const long n = tcp_.receive(raw, max_ms);
  if (n < 0) lose();
  if (n <= 0) return false;
  client_.take({raw, static_cast<size_t>(n)});
  sort_replies();
  // Answers the server is owed go at once, without waiting for room.
  send_pending(0);
  return true;
}

// Reads what comes until `done`, for at most `max_ms`. Each read waits at
// most `slice_ms`, for a `done` that time alone can make true.
bool Rfc2217Serial::await(const std::function<bool()>& done, uint32_t max_ms, uint32_t slice_ms) {
  const Deadline deadline(max_ms);
  while (!done()) {
    const uint32_t left = deadline.left_ms();
    if (lost_ || left == 0) return false;
    receive(std::min(left, slice_ms));
  }
  return true;
}

bool Rfc2217Serial::exchange(std::span<const Setting> requests) {
  for (const Setting& r : requests) {
    answers_[slot(r.command)].reset();
    client_.send_command(r.command, r.value);
  }
  send_pending(kAnswerMs);
  return await(
      [&] {
        return std::all_of(requests.begin(), requests.end(),
                           [&](const Setting& r) { return answers_[slot(r.command)].has_value(); });
      },
      kAnswerMs);
}

// SET-CONTROL carries both the flow control and the break: an answer
// belongs to the request its value's group says.
void Rfc2217Serial::sort_replies() {
  for (const Setting& reply : client_.replies) {
    if (reply.command == Command::set_control && rfc2217::control::is_break(reply.value)) {
      if (breaks_asked_.empty()) continue;
      const uint8_t asked = breaks_asked_.front();
      breaks_asked_.pop_front();
      if (reply.value != asked) {
        note(std::string("the server refused to ") +
             (asked == rfc2217::control::kBreakOn ? "raise" : "clear") +
             " the break: it answered " + std::to_string(reply.value) + " to " +
             std::to_string(asked));
      }
    } else if (reply.command != Command::purge_data &&
               (reply.command != Command::set_control || rfc2217::control::is_flow(reply.value))) {
      answers_[slot(reply.command)] = reply.value;
    }
  }
  client_.replies.clear();
}

void Rfc2217Serial::lose() {
  if (lost_) return;
  lost_ = true;
  error_ = tcp_.error_text();
  advice_.clear();
  note("the connection to the port server ended: " + error_);
}

void Rfc2217Serial::note(const std::string& text) {
  if (note_sink_) note_sink_(text);
}

std::unique_ptr<SerialDevice> remote_serial(const char* usual) {
  const std::string com1 = com1_device(usual);
  if (!rfc2217::is_url(com1)) return nullptr;
  return std::make_unique<Rfc2217Serial>(com1);
}

}  // namespace chipferry
