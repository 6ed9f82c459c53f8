// The client's side of a serial port served over Telnet (RFC 2217, the
// COM-PORT-OPTION), as ser2net and other port servers speak it: the bytes
// of the protocol and nothing else. Nothing here touches a socket. What
// the server sent goes in through take(); what is to go to the server
// collects in `out`, in the order it must leave, for the caller to send.
// So every byte of the protocol can be tested on its own.
//
// Data passes both ways with 0xFF (IAC) doubled; images are full of it.
// Telnet's own negotiation is kept to what a serial line needs: BINARY
// both ways, so that all eight bits pass and a CR is only a CR;
// SUPPRESS-GO-AHEAD both ways; and the COM-PORT-OPTION from our side.
// Anything else the server offers or asks for is refused, once. A request
// of ours is settled by the first answer, yes or no, and is never made
// again, so two ends that disagree cannot loop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace chipferry::rfc2217 {

constexpr uint8_t kIac = 255;
constexpr uint8_t kDont = 254;
constexpr uint8_t kDo = 253;
constexpr uint8_t kWont = 252;
constexpr uint8_t kWill = 251;
constexpr uint8_t kSb = 250;
constexpr uint8_t kSe = 240;

constexpr uint8_t kBinary = 0;
constexpr uint8_t kSuppressGoAhead = 3;
constexpr uint8_t kComPort = 44;

/// The COM-PORT-OPTION commands we send. The server answers each with the
/// same command plus kServerOffset and the value it has now put in force.
enum class Command : uint8_t {
  set_baud_rate = 1,
  set_data_size = 2,
  set_parity = 3,
  set_stop_size = 4,
  set_control = 5,
  purge_data = 12,
};
constexpr uint8_t kServerOffset = 100;

/// A value of 0 asks for the setting in force without changing it.
constexpr uint32_t kQuery = 0;

namespace parity {
constexpr uint8_t kNone = 1;
}  // namespace parity

/// SET-CONTROL values: one command carries the flow control and the break.
namespace control {
constexpr uint8_t kHardwareFlowControl = 3;  ///< RTS/CTS
constexpr uint8_t kBreakOn = 5;
constexpr uint8_t kBreakOff = 6;
}  // namespace control

/// PURGE-DATA: what the server holds for the serial line to send.
constexpr uint8_t kPurgeTransmit = 2;

/// A COM-PORT-OPTION command with the value we ask for.
struct Setting {
  Command command;
  uint32_t value;
};

/// One COM-PORT-OPTION request of ours and what became of it. A server
/// answers the commands of a kind in the order they came, so an answer
/// belongs to the oldest request of its command still waiting, and is
/// given to it where it is read: SET-CONTROL carries both the flow control
/// and the break, and only the order tells which of them an answer is for.
struct Request {
  Setting asked;
  std::optional<uint32_t> answer;  ///< what the server put in force; none before it said

  /// The server put something else in force than was asked for.
  bool refused() const {
    return answer.has_value() && asked.value != kQuery && *answer != asked.value;
  }
};

class Client {
 public:
  /// Our opening: the options we offer and ask for.
  void start();
  /// One byte of data for the serial line.
  void send_data(uint8_t byte);
  /// Sends a COM-PORT-OPTION command (four bytes of value for the baud
  /// rate, one for the others) and keeps its record for the answer. Who
  /// wants the answer holds on to the record; the others drop it.
  std::shared_ptr<const Request> ask(Setting setting);
  /// Reads what the server sent. A command that `in` ends inside of is
  /// taken up where it stopped on the next call.
  void take(std::span<const uint8_t> in);

  /// Every Telnet option we asked for has had its answer.
  bool settled() const;
  /// The server takes the COM-PORT-OPTION.
  bool com_port() const { return us_[kComPort] == State::on; }
  /// All eight bits pass, both ways.
  bool binary() const { return us_[kBinary] == State::on && him_[kBinary] == State::on; }

  /// Bytes for the server, in order; the caller erases what it has sent.
  std::string out;
  /// Data from the serial line, oldest first.
  std::deque<uint8_t> data;

  /// What a server did that no port server does, and that would make the
  /// client's memory grow without end: data nobody reads, more than the
  /// largest image, or requests whose refusals it does not read. What does
  /// not fit is dropped, and the overrun stays: the caller gives the
  /// server up. A port server passes a line of 19,200 baud, and the
  /// program reads its bytes as they come.
  enum class Overrun : uint8_t { none, data, answers };
  static constexpr size_t kMaxData = 65536;
  /// The answers owed to the server while it reads nothing: `out` grows
  /// no longer by them.
  static constexpr size_t kMaxOut = 16384;
  Overrun overrun() const { return overrun_; }

 private:
  enum class State : uint8_t { off, asked, on };
  enum class Parse : uint8_t { data, iac, verb, sb, sb_iac };
  /// Requests kept waiting for their answers: a server that answers none
  /// of a kind makes the oldest fall out instead of the list grow.
  static constexpr size_t kMaxWaiting = 16;

  void negotiate(uint8_t verb, uint8_t option);
  void subnegotiation();
  void keep_in_sb(uint8_t byte);
  void keep_data(uint8_t byte);
  void send_option(uint8_t verb, uint8_t option);
  void answer_option(uint8_t verb, uint8_t option);

  State us_[256] = {};   ///< options on our side (WILL / WONT)
  State him_[256] = {};  ///< options on the server's side (DO / DONT)
  Parse parse_ = Parse::data;
  uint8_t verb_ = 0;
  /// A subnegotiation's option and payload; what does not fit is dropped.
  uint8_t sb_[16] = {};
  size_t sb_size_ = 0;
  bool sb_overflow_ = false;
  /// Our requests the server has not answered yet, oldest first.
  std::deque<std::shared_ptr<Request>> waiting_;
  Overrun overrun_ = Overrun::none;
};

/// Where a port server listens.
struct Address {
  std::string host;  ///< a name or an address, without the brackets of IPv6
  uint16_t port = 0;
};

/// Whether COM1's name is a port on another machine: rfc2217://, the scheme
/// in any case.
bool is_url(std::string_view name);

/// Reads rfc2217://HOST:PORT, HOST being a name, an IPv4 address or an IPv6
/// address in brackets. False, with `problem` saying what is wrong for the
/// person who typed it, when it is not that.
bool parse_url(std::string_view url, Address& address, std::string& problem);

}  // namespace chipferry::rfc2217
