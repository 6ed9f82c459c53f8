#include "remote/serial-rfc2217.h"

#include <algorithm>
#include <utility>

#include "platform/deadline.h"
#include "platform/line.h"
#include "platform/upload_mark.h"

namespace chipferry {
namespace {

using rfc2217::Command;
using rfc2217::Setting;

// Long enough for a port server across a slow network, short enough that a
// host that never answers is not taken for a hang.
constexpr uint32_t kConnectMs = 10000;
// The server's answers to the Telnet options, to the question that shows
// its port open and to the line settings, all of them: a few round trips
// and the opening of its device.
constexpr uint32_t kSetUpMs = 5000;
// The server's time to pass the last bytes on to the programmer and close
// its side: a reset would cost those still in its queue, and ser2net on a
// busy machine has been seen to take more than a second.
constexpr uint32_t kCloseMs = 3000;
// A server that never answers its breaks does not make the list grow.
constexpr size_t kMaxBreaksAsked = 8;

constexpr ByteIo kGone{false, 0, true};
constexpr ByteIo kNothing{true, 0};

// A server that made the client's memory grow is no port server at work.
constexpr const char* kGivenUpAdvice = "is that port ser2net, or another RFC 2217 port server?";

// How far the bytes written may run ahead of the server's line. The
// network would take a whole image at once, and a server reads the stream
// in order: the discard of an abandon would then wait behind every byte,
// and the programmer would take the abandon's ESC and the release for
// data. A second of the line fits in what a server and its device queue
// hold (ser2net: 64 bytes and the tty's few KiB), so a discard finds them
// there, and the line is kept fed across a network's hiccups.
constexpr uint64_t kAheadOfLineUs = 1'000'000;
constexpr uint64_t kByteUs = line::kByteTime.count();

// The programmer's line. RFC 2217 numbers one and two stop bits 1 and 2.
constexpr Setting kLine[] = {
    {Command::set_baud_rate, line::kBaud},
    {Command::set_data_size, line::kDataBits},
    {Command::set_parity, rfc2217::parity::kNone},
    {Command::set_stop_size, line::kStopBits},
    {Command::set_control, rfc2217::control::kHardwareFlowControl},
};

std::string overrun_text(rfc2217::Client::Overrun overrun) {
  if (overrun == rfc2217::Client::Overrun::data) {
    return "the port server flooded the line: more than " +
           std::to_string(rfc2217::Client::kMaxData / 1024) + " KiB of data not read";
  }
  return "the port server kept asking and read nothing: more than " +
         std::to_string(rfc2217::Client::kMaxOut / 1024) + " KiB of answers owed";
}

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

// What a server wrote before it closed the connection, on one line:
// ser2net says there why it could not open the port. Its line ends (and
// Telnet's CR NUL) become blanks; whatever else it holds is made harmless
// where the words are shown.
std::string server_words(const std::deque<uint8_t>& data) {
  constexpr size_t kMost = 100;
  std::string words;
  for (const uint8_t byte : data) {
    if (words.size() >= kMost) break;
    const bool blank = byte == '\r' || byte == '\n' || byte == '\t' || byte == '\0';
    if (!blank) words += static_cast<char>(byte);
    if (blank && !words.empty() && words.back() != ' ') words += ' ';
  }
  while (!words.empty() && words.back() == ' ') words.pop_back();
  return words;
}

}  // namespace

std::string Rfc2217Serial::device_path(const char*) const { return url_; }

std::string Rfc2217Serial::mark_upload(bool on) { return keep_upload_mark(url_, on); }

bool Rfc2217Serial::upload_marked() { return upload_mark_found(url_); }

OpenResult Rfc2217Serial::open(const char*) {
  rfc2217::Address address;
  if (!rfc2217::parse_url(url_, address, error_)) return OpenResult::not_found;
  if (const OpenResult connected = connect(address); connected != OpenResult::ok) return connected;
  set_up();
  if (ending_) {
    // Nothing has reached the programmer: the run ends without a word of
    // the port, and without its release.
    error_ = "the run was asked to end";
    connection_->close(0);
    return OpenResult::failed;
  }
  if (lost_ && !refusal_) {
    const std::string words = server_words(client_.data);
    if (!words.empty()) error_ += ": \"" + words + "\"";
    advice_ = "can the port server open its serial device?";
    connection_->close(0);
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
  const ConnectResult result = connection_->connect(address.host, address.port, kConnectMs);
  if (result != ConnectResult::ok) error_ = connection_->error_text();
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

// The Telnet options, the question only a server with its port open
// answers, and the line, each setting confirmed: all within kSetUpMs of
// the connection, and every wait ends soon after the run must end. What
// the server lacks or refuses is set_state's to tell.
void Rfc2217Serial::set_up() {
  const Deadline deadline(clock_, kSetUpMs);
  client_.start();
  // A server that does not answer the options is not refused yet: it may
  // still be a port.
  await([this] { return client_.settled(); }, deadline, UINT32_MAX, true);
  if (ending_ || lost_) return;
  if (!client_.com_port()) {
    return refuse_line("the server does not take Telnet's serial port option (RFC 2217)",
                       "is it a telnet(rfc2217) port?");
  }
  // ser2net closes the connection instead when it cannot open its device.
  static constexpr Setting kBaudRateInForce[] = {{Command::set_baud_rate, rfc2217::kQuery}};
  Asked asked;
  const bool answered = exchange(kBaudRateInForce, asked, deadline);
  if (ending_ || lost_) return;
  if (!client_.binary()) {
    return refuse_line("the server does not pass all eight bits of each byte (Telnet binary mode)",
                       "");
  }
  if (!answered || !exchange(kLine, asked, deadline)) {
    if (ending_ || lost_) return;
    return refuse_line("the server did not confirm the line settings within " +
                           std::to_string(kSetUpMs / 1000) + " s",
                       "");
  }
  for (const auto& request : asked) {
    if (request->refused()) {
      return refuse_line(
          std::string("the server answered ") + setting_name(request->asked.command) + " " +
              std::to_string(*request->answer) + " to " + std::to_string(request->asked.value),
          "");
    }
  }
}

void Rfc2217Serial::refuse_line(std::string reason, std::string advice) {
  if (!refusal_) refusal_ = Refusal{std::move(reason), std::move(advice)};
}

// A server given up on during the set-up is refused here, as one that
// refused the line is.
bool Rfc2217Serial::get_state() { return !lost_ || refusal_.has_value(); }

bool Rfc2217Serial::set_state() {
  if (refusal_) {
    error_ = refusal_->reason;
    advice_ = refusal_->advice;
    if (!given_up_) note(error_);  // a server given up on has its note
    return false;
  }
  if (lost_) return false;
  set_up_ = true;
  return true;
}

bool Rfc2217Serial::set_timeouts(const Timeouts& timeouts) {
  read_timeout_ms_ = timeouts.read_ms;
  write_timeout_ms_ = timeouts.write_ms;
  return true;
}

// Before the line was set up, a connection that is no more takes and
// brings nothing, silently: the run is ending on the port's refusal, and
// the release has nowhere to go.
ByteIo Rfc2217Serial::after_loss() const { return set_up_ ? kGone : kNothing; }

ByteIo Rfc2217Serial::write_byte(uint8_t byte) {
  if (lost_) return after_loss();
  const Deadline deadline(clock_, write_timeout_ms_);
  // What went before leaves first: a byte never overtakes a command.
  const auto near_the_line = [this] { return line_done_us_ <= now_us() + kAheadOfLineUs; };
  if (!send_pending(deadline.left_ms()) || !await(near_the_line, deadline, 1, false)) {
    return lost_ ? after_loss() : kNothing;
  }
  client_.send_data(byte);
  send_pending(0);
  line_done_us_ = std::max(line_done_us_, now_us()) + kByteUs;
  return lost_ ? after_loss() : ByteIo{true, 1};
}

ByteIo Rfc2217Serial::read_byte(uint8_t& byte) {
  const Deadline deadline(clock_, read_timeout_ms_);
  for (;;) {
    // What came before the connection ended is still read.
    if (!client_.data.empty()) {
      byte = client_.data.front();
      client_.data.pop_front();
      return {true, 1};
    }
    if (lost_) return after_loss();
    // Bytes that were all Telnet's own leave the read waiting on, but not
    // past its time-out: a server may send nothing else.
    const bool came = receive(deadline.left_ms());
    if (!lost_ && client_.data.empty() && (!came || deadline.left_ms() == 0)) return kNothing;
  }
}

void Rfc2217Serial::set_break(bool on) {
  if (lost_) return;
  const uint8_t value = on ? rfc2217::control::kBreakOn : rfc2217::control::kBreakOff;
  if (breaks_.size() == kMaxBreaksAsked) breaks_.pop_front();
  breaks_.push_back(client_.ask({Command::set_control, value}));
  send_pending(write_timeout_ms_);
}

// The server's line is what the programmer sees, and nothing tells when
// the server has written the last byte to it: the bytes are taken to
// leave at the line's pace from when they were written. A break sent
// sooner could overtake data the server still holds, and end an upload
// short.
bool Rfc2217Serial::wait_output_drained(uint32_t max_ms) {
  const Deadline deadline(clock_, max_ms);
  if (!send_pending(max_ms)) return lost_;
  // Reading meanwhile notices a connection that ends; a connection that
  // has ended holds nothing that will still leave.
  const auto drained = [this] {
    return lost_ || (now_us() >= line_done_us_ && connection_->all_delivered());
  };
  return await(drained, deadline, 5, false);
}

void Rfc2217Serial::discard_output() {
  if (lost_) return;
  client_.ask({Command::purge_data, rfc2217::kPurgeTransmit});
  send_pending(write_timeout_ms_);
}

void Rfc2217Serial::close() {
  if (!connection_->is_open()) return;
  if (lost_) {
    connection_->close(0);
    return;
  }
  // The release has paused for its bytes; what the connection has not
  // taken by now is held back by the programmer.
  send_pending(write_timeout_ms_ * 4);
  connection_->close(kCloseMs);
}

std::string Rfc2217Serial::gone_advice() const {
  return given_up_ ? kGivenUpAdvice : "is the port server still running there, and the network up?";
}

void Rfc2217Serial::set_note_sink(const std::function<void(std::string_view)>& sink) {
  note_sink_ = sink;
}

bool Rfc2217Serial::send_pending(uint32_t max_ms) {
  if (client_.out.empty()) return true;
  if (lost_) return false;
  const long sent = connection_->send(
      {reinterpret_cast<const uint8_t*>(client_.out.data()), client_.out.size()}, max_ms);
  if (sent < 0) {
    lose();
    return false;
  }
  client_.out.erase(0, static_cast<size_t>(sent));
  return client_.out.empty();
}

bool Rfc2217Serial::receive(uint32_t max_ms) {
  uint8_t raw[512];
  const long n = connection_->receive(raw, max_ms);
  if (n < 0) lose();
  if (n <= 0) return false;
  client_.take({raw, static_cast<size_t>(n)});
  if (client_.overrun() != rfc2217::Client::Overrun::none) {
    give_up(overrun_text(client_.overrun()));
    return true;
  }
  note_refused_breaks();
  // Answers the server is owed go at once, without waiting for room.
  send_pending(0);
  return true;
}

// Reads what comes until `done`, until `deadline`. Each read waits at most
// `slice_ms`, for a `done` that time alone can make true. A wait of the
// set-up (`set_up`) also ends, within kEndLookMs, once the run must end:
// the waits after it are bounded by the byte time-out, and the way out
// (an abandon, the release) must not be cut short.
bool Rfc2217Serial::await(const std::function<bool()>& done, const Deadline& deadline,
                          uint32_t slice_ms, bool set_up) {
  while (!done()) {
    if (set_up && connection_->run_ending()) ending_ = true;
    const uint32_t left = deadline.left_ms();
    if (ending_ || lost_ || left == 0) return false;
    // What the connection did not take before goes as soon as it can.
    send_pending(0);
    receive(std::min({left, slice_ms, set_up ? kEndLookMs : UINT32_MAX}));
  }
  return true;
}

// Asks for each of `settings`, and waits until the server has answered
// them all; false when it has not by `deadline`.
bool Rfc2217Serial::exchange(std::span<const Setting> settings, Asked& asked,
                             const Deadline& deadline) {
  asked.clear();
  for (const Setting& setting : settings) asked.push_back(client_.ask(setting));
  return await(
      [&] {
        return std::all_of(asked.begin(), asked.end(),
                           [](const auto& request) { return request->answer.has_value(); });
      },
      deadline, UINT32_MAX, true);
}

// A break is not waited for, but a server that refuses one is worth a line
// in the trace: the upload it was to end may end otherwise, or not.
void Rfc2217Serial::note_refused_breaks() {
  for (auto it = breaks_.begin(); it != breaks_.end();) {
    const rfc2217::Request& request = **it;
    if (!request.answer) {
      ++it;
      continue;
    }
    if (request.refused()) {
      note(std::string("the server refused to ") +
           (request.asked.value == rfc2217::control::kBreakOn ? "raise" : "clear") +
           " the break: it answered " + std::to_string(*request.answer) + " to " +
           std::to_string(request.asked.value));
    }
    it = breaks_.erase(it);
  }
}

void Rfc2217Serial::lose() {
  if (lost_) return;
  lost_ = true;
  error_ = connection_->error_text();
  advice_.clear();
  note("the connection to the port server ended: " + error_);
}

// A server past a bound of the client's is left at once: its data is not
// the programmer's, and nothing more goes to it. During the set-up it is
// refused; afterwards it is a port gone away.
void Rfc2217Serial::give_up(const std::string& what) {
  if (lost_) return;
  lost_ = true;
  given_up_ = true;
  error_ = what;
  advice_ = kGivenUpAdvice;
  refuse_line(what, kGivenUpAdvice);
  note("gave the port server up: " + what);
  client_.data.clear();
  connection_->close(0);
}

void Rfc2217Serial::note(const std::string& text) {
  if (note_sink_) note_sink_(text);
}

std::unique_ptr<SerialDevice> remote_serial(const std::string& device, Clock& clock) {
  if (!rfc2217::is_url(device)) return nullptr;
  return std::make_unique<Rfc2217Serial>(device, clock, std::make_unique<TcpConnection>());
}

}  // namespace chipferry
