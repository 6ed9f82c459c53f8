// The serial port on another machine: the Telnet layer byte by byte, and
// the backend against a port server in memory on the virtual clock; a real
// socket only where the system's own words for a connection are tested.
#include "remote/rfc2217.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "app/program.h"
#include "platform/socket-posix.h"
#include "remote/serial-rfc2217.h"
#include "tests/support/loopback.h"
#include "tests/support/scripted_console.h"
#include "tests/support/wire.h"

namespace chipferry::test {
namespace {

using rfc2217::Client;
using rfc2217::Command;
using rfc2217::Request;

std::string bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s += static_cast<char>(v);
  return s;
}

void take(Client& client, const std::string& in) {
  client.take({reinterpret_cast<const uint8_t*>(in.data()), in.size()});
}

std::string data_of(const Client& client) { return {client.data.begin(), client.data.end()}; }

TEST(Rfc2217Client, DoublesIacBothWaysAndReadsACommandSplitAnywhere) {
  Client client;
  client.send_data(0x41);
  client.send_data(0xFF);
  client.ask({Command::set_baud_rate, 0x0000FF00});
  EXPECT_EQ(client.out,
            bytes({0x41, 0xFF, 0xFF, 0xFF, 0xFA, 44, 1, 0, 0, 0xFF, 0xFF, 0, 0xFF, 0xF0}));

  // Data with a doubled IAC around the server's answer to a baud rate
  // whose value holds 0xFF, cut at every place in turn.
  const std::string stream = bytes(
      {'a', 0xFF, 0xFF, 0xFF, 0xFA, 44, 101, 0, 0, 0xFF, 0xFF, 0x00, 0xFF, 0xF0, 0xFF, 0xFF, 'b'});
  for (size_t cut = 0; cut <= stream.size(); ++cut) {
    SCOPED_TRACE(cut);
    Client reader;
    const auto asked = reader.ask({Command::set_baud_rate, 0x0000FF00});
    take(reader, stream.substr(0, cut));
    take(reader, stream.substr(cut));
    EXPECT_EQ(data_of(reader), bytes({'a', 0xFF, 0xFF, 'b'}));
    EXPECT_EQ(asked->answer, 0x0000FF00u);
    EXPECT_FALSE(asked->refused());
  }
}

// SET-CONTROL carries the flow control and the break alike: only the order
// of the requests tells which of them an answer is for.
TEST(Rfc2217Client, GivesEachAnswerToTheOldestRequestOfItsCommandThatWaits) {
  Client client;
  const auto flow = client.ask({Command::set_control, rfc2217::control::kHardwareFlowControl});
  const auto data_size = client.ask({Command::set_data_size, 8});
  const auto break_on = client.ask({Command::set_control, rfc2217::control::kBreakOn});
  const auto break_off = client.ask({Command::set_control, rfc2217::control::kBreakOff});
  const auto in_force = client.ask({Command::set_baud_rate, rfc2217::kQuery});
  auto answer = [](int command, std::initializer_list<int> value) {
    std::string sb = bytes({0xFF, 0xFA, 44, command + 100});
    return sb + bytes(value) + bytes({0xFF, 0xF0});
  };
  // A line-state notification, which answers nothing; then flow control
  // and the break each answered with the other's kind of value.
  take(client, answer(6, {0x60}) + answer(5, {6}) + answer(5, {3}));
  EXPECT_EQ(flow->answer, 6u);
  EXPECT_TRUE(flow->refused());
  EXPECT_EQ(break_on->answer, 3u);
  EXPECT_TRUE(break_on->refused());
  EXPECT_FALSE(break_off->answer.has_value());
  EXPECT_FALSE(data_size->answer.has_value());

  take(client, answer(1, {0, 0, 0x4B, 0}) + answer(5, {6}) + answer(2, {8}) + answer(2, {7}));
  EXPECT_EQ(in_force->answer, 19200u);
  EXPECT_FALSE(in_force->refused()) << "a query takes any answer";
  EXPECT_EQ(break_off->answer, 6u);
  EXPECT_FALSE(break_off->refused());
  EXPECT_EQ(data_size->answer, 8u) << "an answer no request waits for is dropped";
}

// A server that floods a client nobody reads, or asks it for refusals it
// never reads, costs it no more memory than its caps, and is told apart:
// its answers still count, and the overrun says which cap it went past.
TEST(Rfc2217Client, KeepsWithinItsCapsAndSaysWhichOneTheServerWentPast) {
  Client client;
  const auto asked = client.ask({Command::purge_data, rfc2217::kPurgeTransmit});
  client.out.clear();
  take(client, std::string(Client::kMaxData, 'x'));
  EXPECT_EQ(client.overrun(), Client::Overrun::none) << "the cap itself is no overrun";
  take(client, bytes({'y', 0xFF, 0xFA, 44, 112, 2, 0xFF, 0xF0, 0xFF, 253, 99}));
  EXPECT_EQ(client.data.size(), Client::kMaxData);
  EXPECT_EQ(client.data.back(), 'x');
  EXPECT_EQ(asked->answer, 2u);
  EXPECT_EQ(client.overrun(), Client::Overrun::data);
  EXPECT_EQ(client.out, bytes({0xFF, 252, 99})) << "a request is still refused";

  Client asked_to_death;
  std::string requests;
  for (size_t i = 0; i < Client::kMaxOut; ++i) requests += bytes({0xFF, 253, 99});
  take(asked_to_death, requests);
  EXPECT_EQ(asked_to_death.out.size(), Client::kMaxOut / 3 * 3);
  EXPECT_EQ(asked_to_death.overrun(), Client::Overrun::answers);
  EXPECT_TRUE(asked_to_death.data.empty());
}

TEST(Rfc2217Client, AnswersEachOfferOnceAndRefusesWhatItDoesNotDo) {
  Client client;
  client.start();
  EXPECT_EQ(client.out,
            bytes({0xFF, 251, 0, 0xFF, 251, 3, 0xFF, 251, 44, 0xFF, 253, 0, 0xFF, 253, 3}));
  client.out.clear();
  EXPECT_FALSE(client.settled());

  // ser2net's opening: our requests answered, and an offer of ECHO.
  take(client, bytes({0xFF, 251,  3,   0xFF, 253,  3,   0xFF, 251,  1,   0xFF, 254,
                      1,    0xFF, 253, 0,    0xFF, 251, 0,    0xFF, 253, 44}));
  EXPECT_TRUE(client.settled());
  EXPECT_TRUE(client.com_port());
  EXPECT_TRUE(client.binary());
  EXPECT_EQ(client.out, bytes({0xFF, 254, 1})) << "ECHO is refused, and nothing else answered";
  client.out.clear();

  // The same again changes nothing and is not answered; an option we do
  // not do is refused; a server that turns the serial port option off is
  // answered once.
  take(client, bytes({0xFF, 253, 3, 0xFF, 251, 0, 0xFF, 253, 24, 0xFF, 254, 44, 0xFF, 254, 44}));
  EXPECT_EQ(client.out, bytes({0xFF, 252, 24, 0xFF, 252, 44}));
  EXPECT_FALSE(client.com_port());

  // A server that refuses the option from the start.
  Client refused;
  refused.start();
  take(refused, bytes({0xFF, 254, 44, 0xFF, 252, 0}));
  EXPECT_FALSE(refused.com_port());
  EXPECT_FALSE(refused.binary());
  refused.out.clear();
  take(refused, bytes({0xFF, 253, 0, 0xFF, 251, 3, 0xFF, 253, 3}));
  EXPECT_TRUE(refused.settled());
  EXPECT_EQ(refused.out, "") << "answers to our own requests need none";
}

TEST(Rfc2217Url, TakesTheThreeFormsOfHostAndSaysWhatIsWrongWithTheRest) {
  rfc2217::Address a;
  std::string problem;
  ASSERT_TRUE(rfc2217::parse_url("rfc2217://127.0.0.1:7416", a, problem));
  EXPECT_EQ(a.host, "127.0.0.1");
  EXPECT_EQ(a.port, 7416);
  ASSERT_TRUE(rfc2217::parse_url("RFC2217://[::1]:2217", a, problem));
  EXPECT_EQ(a.host, "::1");
  ASSERT_TRUE(rfc2217::parse_url("rfc2217://bench-pi.local:65535", a, problem));
  EXPECT_EQ(a.host, "bench-pi.local");
  EXPECT_EQ(a.port, 65535);

  const struct {
    const char* url;
    const char* problem;
  } bad[] = {
      {"rfc2217://bench-pi", "no port number"},
      {"rfc2217://bench-pi:", "no port number"},
      {"rfc2217://:7416", "no host"},
      {"rfc2217://bench-pi:0", "1 to 65535"},
      {"rfc2217://bench-pi:65536", "1 to 65535"},
      {"rfc2217://bench-pi:74x", "after the port number: x"},
      {"rfc2217://bench-pi:7416/", "after the port number: /"},
      {"rfc2217://::1:7416", "brackets"},
      {"rfc2217://[::1:7416", "closing bracket"},
      {"rfc2217://a b:7416", "blank"},
  };
  for (const auto& c : bad) {
    SCOPED_TRACE(c.url);
    EXPECT_FALSE(rfc2217::parse_url(c.url, a, problem));
    EXPECT_NE(problem.find(c.problem), std::string::npos) << problem;
  }
}

// ---------------------------------------------------------------------------
// The backend and the whole program against a port server.

// ser2net's opening: our requests answered, and the serial port option.
const std::string kPortOpening =
    bytes({0xFF, 251, 3, 0xFF, 253, 3, 0xFF, 253, 0, 0xFF, 251, 0, 0xFF, 253, 44});

// A port server in memory, as the client meets ser2net: its opening and a
// banner, then every serial port command answered with the value asked
// (while `answers`), and the data, with 0xFF undoubled, in `data`. After
// each send `programmer` sees the server and says what the programmer
// answers. A read that finds nothing takes its whole time on the clock, as
// on a silent network.
class PortServer : public Connection {
 public:
  PortServer(VirtualClock& clock, const std::string& opening) : clock_(clock) {
    to_client = opening + "\r\nser2net port 7416\r\n";
  }

  ConnectResult connect(const std::string&, uint16_t, uint32_t) override {
    open_ = true;
    return ConnectResult::ok;
  }
  long receive(std::span<uint8_t> buffer, uint32_t timeout_ms) override {
    if (clock_.now < silent_until_ms) {
      clock_.now = std::min(clock_.now + timeout_ms, silent_until_ms);
      if (clock_.now < silent_until_ms) return 0;
    }
    if (to_client.empty() && hung_up) error_ = "the port server closed the connection";
    if (to_client.empty() && hung_up) return -1;
    if (to_client.empty() && floods > 0) return flood_into(buffer);
    if (to_client.empty()) clock_.now += timeout_ms;
    const size_t n = std::min({buffer.size(), to_client.size(), most_per_receive});
    std::copy_n(to_client.begin(), n, buffer.begin());
    to_client.erase(0, n);
    return static_cast<long>(n);
  }
  long send(std::span<const uint8_t> bytes, uint32_t timeout_ms) override {
    ++sends;
    if (hung_up) error_ = "Broken pipe";
    if (hung_up) return -1;
    if (!reads) clock_.now += timeout_ms;
    if (!reads) return 0;
    from_client_.append(bytes.begin(), bytes.end());
    parse();
    if (programmer) programmer(*this);
    return static_cast<long>(bytes.size());
  }
  bool all_delivered() const override { return true; }
  void close(uint32_t timeout_ms) override {
    open_ = false;
    closed_within_ms = timeout_ms;
  }
  bool is_open() const override { return open_; }
  bool run_ending() const override { return ending && ending(); }
  const std::string& error_text() const override { return error_; }

  /// What the programmer says, 0xFF doubled as it goes on the wire.
  void say(const std::string& text) {
    for (const char c : text) to_client += c == '\xFF' ? std::string(2, c) : std::string(1, c);
  }

  bool answers = true;
  bool refuses_breaks = false;  ///< as ser2net on a pseudo-terminal
  /// Sees each serial port command before it is answered, and may change
  /// the answer's value.
  std::function<void(std::string& command)> answer_as;
  std::function<void(PortServer&)> programmer;
  std::string data;              ///< what came for the serial line
  std::string to_client;         ///< what goes to the client next, as it is on the wire
  bool hung_up = false;          ///< once `to_client` is read, the connection ends
  bool reads = true;             ///< false: every send takes nothing, after its time
  uint64_t silent_until_ms = 0;  ///< nothing reaches the client before this time
  size_t most_per_receive = SIZE_MAX;
  /// Once `to_client` is read, this many receives bring `flood` over and
  /// over, a millisecond each: the network is fast, not endless.
  std::string flood;
  size_t floods = 0;
  std::function<bool()> ending;  ///< the run must end
  int sends = 0;
  std::optional<uint32_t> closed_within_ms;

 private:
  long flood_into(std::span<uint8_t> buffer) {
    --floods;
    clock_.now += 1;
    for (uint8_t& byte : buffer) {
      byte = static_cast<uint8_t>(flood[flood_at_]);
      flood_at_ = (flood_at_ + 1) % flood.size();
    }
    return static_cast<long>(buffer.size());
  }

  // Takes the client's data and commands off what it sent; a command cut
  // short waits for the rest.
  void parse() {
    size_t at = 0;
    while (at < from_client_.size()) {
      if (from_client_[at] != '\xFF') {
        data += from_client_[at++];
      } else if (at + 1 == from_client_.size()) {
        break;
      } else if (from_client_[at + 1] == '\xFF') {
        data += '\xFF';
        at += 2;
      } else if (from_client_[at + 1] == '\xFA') {
        const size_t end = from_client_.find("\xFF\xF0", at);
        if (end == std::string::npos) break;
        answer(from_client_.substr(at + 3, end - at - 3));
        at = end + 2;
      } else {
        const bool option = static_cast<uint8_t>(from_client_[at + 1]) >= 251;
        if (option && at + 2 == from_client_.size()) break;
        at += option ? 3 : 2;
      }
    }
    from_client_.erase(0, at);
  }
  void answer(std::string command) {
    if (!answers) return;
    if (refuses_breaks && command == bytes({5, 5})) command[1] = 6;
    if (answer_as) answer_as(command);
    command[0] = static_cast<char>(command[0] + 100);
    to_client += bytes({0xFF, 0xFA, 44}) + command + bytes({0xFF, 0xF0});
  }

  VirtualClock& clock_;
  size_t flood_at_ = 0;
  std::string from_client_;
  std::string error_;
  bool open_ = false;
};

// The backend on the virtual clock, reaching its server in memory as
// rfc2217://port-server:7416.
struct ServedPort {
  explicit ServedPort(const std::string& opening = kPortOpening) {
    auto made = std::make_unique<PortServer>(clock, opening);
    server = made.get();
    serial = std::make_unique<Rfc2217Serial>(kUrl, clock, std::move(made));
  }
  static constexpr const char* kUrl = "rfc2217://port-server:7416";
  VirtualClock clock;
  PortServer* server;
  std::unique_ptr<Rfc2217Serial> serial;
};

struct Outcome {
  int code;
  std::string out;
  std::vector<std::string> why;  ///< the diagnostics
};

// The whole program on `serial`, on `clock`, with `input` typed, and asked
// to end as `stop` says.
Outcome run_on(SerialDevice& serial, VirtualClock& clock, const std::string& input,
               std::optional<ScriptedConsole::StopAt> stop = std::nullopt) {
  ScriptedConsole console(clock);
  console.input = input;
  console.stop = stop;
  auto session = std::make_unique<Session>(serial, console, clock);
  const int code = run_program(*session);
  return {code, console.out, console.diagnostics};
}

const std::string kBannerAll =
    kBannerStart + "Written from the programmer's documented exchanges; no warranty.\n\n";

constexpr int kPeerWaitMs = 5000;

// One connection accepted on 127.0.0.1 and handed to `serve`, on a thread
// of its own, every wait of it bounded.
class ScriptedServer {
 public:
  explicit ScriptedServer(std::function<void(int fd)> serve) {
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    EXPECT_EQ(::bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), size), 0);
    EXPECT_EQ(::listen(listen_fd_, 1), 0);
    getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &size);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this, serve = std::move(serve)] {
      pollfd p{listen_fd_, POLLIN, 0};
      if (poll(&p, 1, kPeerWaitMs) != 1) return;
      const int fd = ::accept(listen_fd_, nullptr, nullptr);
      if (fd < 0) return;
      serve(fd);
      ::close(fd);
    });
  }
  ~ScriptedServer() {
    join();
    ::close(listen_fd_);
  }
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  std::string url() const { return "rfc2217://127.0.0.1:" + std::to_string(port_); }
  int port() const { return port_; }
  /// Waits until `serve` has returned.
  void join() {
    if (thread_.joinable()) thread_.join();
  }

 private:
  int listen_fd_ = -1;
  int port_ = 0;
  std::thread thread_;
};

// On real sockets: what the system says of a connection refused or closed.
TEST(Rfc2217Serial, PortFailuresGiveTheirExitCodesAndSayWhy) {
  // It reads the client's opening first: a close with bytes unread would
  // be a reset.
  ScriptedServer hangs_up([](int fd) {
    pollfd p{fd, POLLIN, 0};
    char opening[64];
    if (poll(&p, 1, kPeerWaitMs) == 1) (void)!::recv(fd, opening, sizeof opening, 0);
  });
  const struct {
    std::string url;
    int code;
    const char* message;
    const char* why;
  } cases[] = {
      {"rfc2217://127.0.0.1", 1, "Port COM1 doesn't exist\n",
       " cannot be opened: no port number (the form is rfc2217://HOST:PORT)"},
      {"rfc2217://127.0.0.1:" + std::to_string(unused_loopback_port()), 1,
       "Port COM1 doesn't exist\n",
       " cannot be opened: Connection refused; is the port server running there, on that port?"},
      {hangs_up.url(), 2, "Can't access Port COM1\n",
       " cannot be opened: the port server closed the connection; can the port server open its "
       "serial device?"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    VirtualClock clock;
    const auto serial = remote_serial(c.url, clock);
    ASSERT_NE(serial, nullptr);
    const Outcome run = run_on(*serial, clock, "q\n");
    EXPECT_EQ(run.code, c.code);
    EXPECT_EQ(run.out, kBannerAll + c.message);
    EXPECT_EQ(run.why, std::vector<std::string>{"COM1 (" + c.url + ")" + c.why});
  }
}

// A server without the serial port option, one that confirms no setting,
// and one that puts another flow control in force: each refuses the line,
// the second once 5 s have passed since the connection, and the programmer
// still gets its release.
TEST(Rfc2217Serial, AServerThatDoesNotConfirmTheLineRefusesIt) {
  const std::string refused = " refused the line settings (19200 baud, 8N1, RTS/CTS): ";
  ServedPort telnet_only(
      bytes({0xFF, 254, 44, 0xFF, 253, 0, 0xFF, 251, 0, 0xFF, 253, 3, 0xFF, 251, 3}));
  Outcome run = run_on(*telnet_only.serial, telnet_only.clock, "q\n");
  EXPECT_EQ(run.code, 4);
  EXPECT_EQ(run.out, kBannerAll + "Can't set Port COM1 state\n");
  EXPECT_EQ(run.why, std::vector<std::string>{
                         std::string("COM1 (") + ServedPort::kUrl + ")" + refused +
                         "the server does not take Telnet's serial port option (RFC 2217); is it "
                         "a telnet(rfc2217) port?"});
  EXPECT_EQ(telnet_only.server->data, kRelease);

  // Its opening comes late, and nothing after it.
  ServedPort silent;
  silent.server->answers = false;
  silent.server->silent_until_ms = 3000;
  run = run_on(*silent.serial, silent.clock, "q\n");
  EXPECT_EQ(run.code, 4);
  EXPECT_EQ(run.why,
            std::vector<std::string>{std::string("COM1 (") + ServedPort::kUrl + ")" + refused +
                                     "the server did not confirm the line settings "
                                     "within 5 s"});
  // The whole set-up, the options, the question of the baud rate in force
  // and the settings, has 5 s from the connection; then the release's two
  // pauses.
  EXPECT_EQ(silent.clock.now, 5000u + 100 + 100);
  EXPECT_EQ(silent.server->data, kRelease);

  // RTS/CTS asked, none put in force.
  ServedPort no_handshake;
  no_handshake.server->answer_as = [](std::string& command) {
    if (command == bytes({5, 3})) command[1] = 1;
  };
  run = run_on(*no_handshake.serial, no_handshake.clock, "q\n");
  EXPECT_EQ(run.code, 4);
  EXPECT_EQ(run.out, kBannerAll + "Can't set Port COM1 state\n");
  EXPECT_EQ(run.why, std::vector<std::string>{std::string("COM1 (") + ServedPort::kUrl + ")" +
                                              refused + "the server answered flow control 1 to 3"});
  EXPECT_EQ(no_handshake.server->data, kRelease);
}

// Ctrl+C while the server has not yet set the port up: the run ends within
// a look at the request, says nothing of the port, and sends nothing to
// the programmer, which has had nothing yet.
TEST(Rfc2217Serial, CtrlCDuringTheSetUpEndsTheRunAtOnceAndSaysNothingOfThePort) {
  ServedPort silent;
  silent.server->answers = false;
  ScriptedConsole::StopAt stop{Stop::interrupt, 1200};
  silent.server->ending = [&] { return silent.clock.now >= stop.at_ms; };
  const Outcome run = run_on(*silent.serial, silent.clock, "q\n", stop);
  EXPECT_EQ(run.code, 130);
  EXPECT_EQ(run.out, kBannerAll);
  EXPECT_EQ(run.why, std::vector<std::string>{});
  EXPECT_GE(silent.clock.now, 1200u);
  EXPECT_LE(silent.clock.now, 1200u + kEndLookMs);
  EXPECT_EQ(silent.server->data, "");
  EXPECT_EQ(silent.server->closed_within_ms, 0u);
}

// The port server goes in the middle of a download, in the middle of a
// doubled 0xFF: what came before is read, then the run ends as it ends
// when a local port vanishes, and nothing more goes to the connection.
TEST(Rfc2217Serial, AConnectionCutMidBlockEndsLikeAVanishedPort) {
  ServedPort port;
  int prompts = 0;
  port.server->programmer = [&](PortServer& server) {
    const std::string& data = server.data;
    const int due = static_cast<int>(data.find('\x11') != std::string::npos) +
                    static_cast<int>(data.find("S900000 01\r") != std::string::npos);
    for (; prompts < due; ++prompts) server.say("[C]");
    if (data.ends_with("R\r")) server.say("[0016][C]");
    if (!data.ends_with("S8\r") || server.hung_up) return;
    server.to_client += bytes({0, 0, 0, 0xFF, 0xFF, 'A', 0xFF, 0xFF, 'B', 0xFF});
    server.hung_up = true;
  };
  const Outcome run = run_on(*port.serial, port.clock, "2\nq\n");
  EXPECT_EQ(run.code, 6);
  EXPECT_EQ(run.out.substr(run.out.find(kMenu)), kMenu + "Couldn't read Port COM1\nNo Response\n");
  EXPECT_EQ(run.why, std::vector<std::string>{
                         std::string("COM1 (") + ServedPort::kUrl +
                         ") went away: the port server closed the connection; is the port server "
                         "still running there, and the network up?"});
  EXPECT_TRUE(port.server->data.ends_with("S8\r"))
      << "no byte after the connection ended, the release's neither";
}

// The server takes bytes far faster than its line carries them. Writes
// must keep near the line, or an abandon's discard would wait behind the
// image; and the break must wait for the line, or it would overtake the
// end of an upload.
TEST(Rfc2217Serial, WritesKeepNearTheServersLineAndDrainOnlyOnceItCanHaveCarriedThem) {
  ServedPort port;
  Rfc2217Serial& serial = *port.serial;
  ASSERT_EQ(serial.open("COM1"), OpenResult::ok) << serial.error_text();
  ASSERT_TRUE(serial.get_state());
  ASSERT_TRUE(serial.set_state()) << serial.error_text();
  ASSERT_TRUE(serial.set_timeouts({60, 60}));
  EXPECT_EQ(port.clock.now, 0u) << "a server that answers at once takes no time";
  // 2,500 bytes are 1,302.5 ms of the line, 521 us each. A second of them
  // goes at once; the last may go once no more than that is ahead.
  for (int i = 0; i < 2500; ++i) ASSERT_EQ(serial.write_byte(0xFF).count, 1u) << i;
  EXPECT_EQ(port.clock.now, 302u);
  EXPECT_EQ(port.server->data, std::string(2500, '\xFF'));
  EXPECT_FALSE(serial.wait_output_drained(1000));
  EXPECT_EQ(port.clock.now, 1302u);
  EXPECT_TRUE(serial.wait_output_drained(1000));
  EXPECT_GE(port.clock.now, 1303u);
  EXPECT_LT(port.clock.now, 1303u + 5) << "looked at every 5 ms";

  // Each break's answer is its own: a refused one is noted, the other not.
  std::vector<std::string> notes;
  serial.set_note_sink([&](std::string_view note) { notes.emplace_back(note); });
  port.server->refuses_breaks = true;
  serial.set_break(true);
  serial.set_break(false);
  uint8_t byte = 0;
  EXPECT_EQ(serial.read_byte(byte).count, 0u);
  EXPECT_EQ(notes,
            std::vector<std::string>{"the server refused to raise the break: it answered 6 to 5"});
  EXPECT_EQ(port.server->data, std::string(2500, '\xFF')) << "the breaks are commands";
  serial.close();
}

// A port set up on the virtual clock, with its byte time-outs.
void set_up(ServedPort& port) {
  Rfc2217Serial& serial = *port.serial;
  ASSERT_EQ(serial.open("COM1"), OpenResult::ok) << serial.error_text();
  ASSERT_TRUE(serial.get_state());
  ASSERT_TRUE(serial.set_state()) << serial.error_text();
  ASSERT_TRUE(serial.set_timeouts({60, 60}));
}

// However much of Telnet's own a server sends, a read ends at its
// time-out; and a byte that a receive brings alone is read.
TEST(Rfc2217Serial, AReadEndsAtItsTimeOutWhateverComesAndTakesBytesThatComeOneByOne) {
  ServedPort port;
  set_up(port);
  port.server->flood = bytes({0xFF, 241});  // IAC NOP
  port.server->floods = 1'000'000;
  const uint64_t start = port.clock.now;
  uint8_t byte = 0;
  const ByteIo io = port.serial->read_byte(byte);
  EXPECT_TRUE(io.call_ok);
  EXPECT_EQ(io.count, 0u);
  EXPECT_EQ(port.clock.now, start + 60);

  port.server->floods = 0;
  port.server->most_per_receive = 1;
  port.server->say("[C]");
  std::string read;
  while (port.serial->read_byte(byte).count == 1) read += static_cast<char>(byte);
  EXPECT_EQ(read, "[C]");
}

// A server past a bound is given up: during the set-up as a refusal of the
// line, and nothing more is sent, not even the release; in a session as a
// port gone away. Each says what the server did.
TEST(Rfc2217Serial, AServerPastABoundIsRefusedAtTheSetUpAndGoneInASession) {
  const std::string port_is = std::string("COM1 (") + ServedPort::kUrl + ")";
  const std::string advice = "; is that port ser2net, or another RFC 2217 port server?";
  ServedPort flooded(kPortOpening + std::string(Client::kMaxData + 1, 'x'));
  Outcome run = run_on(*flooded.serial, flooded.clock, "q\n");
  EXPECT_EQ(run.code, 4);
  EXPECT_EQ(run.out, kBannerAll + "Can't set Port COM1 state\n");
  EXPECT_EQ(run.why, std::vector<std::string>{
                         port_is +
                         " refused the line settings (19200 baud, 8N1, RTS/CTS): the port "
                         "server flooded the line: more than 64 KiB of data not read" +
                         advice});
  EXPECT_EQ(flooded.server->data, "");
  EXPECT_EQ(flooded.server->closed_within_ms, 0u);

  // After the wake-up the server reads no more, and asks for an option
  // without end.
  ServedPort asking;
  asking.server->programmer = [](PortServer& server) {
    if (server.data != "\x1b\x11") return;
    server.reads = false;
    server.flood = bytes({0xFF, 253, 99});
    server.floods = 1'000'000;
  };
  run = run_on(*asking.serial, asking.clock, "q\n");
  EXPECT_EQ(run.code, 6);
  EXPECT_EQ(run.out, kBannerAll + "Couldn't read Port COM1\nNo Response\n");
  EXPECT_EQ(run.why,
            std::vector<std::string>{port_is +
                                     " went away: the port server kept asking and read nothing: "
                                     "more than 16 KiB of answers owed" +
                                     advice});
  // 512 bytes a receive: 16 KiB of requests are 32 receives.
  EXPECT_GT(asking.server->floods, 1'000'000u - 40) << "given up at its bound, not later";
}

// A send that fails is a connection lost: the byte is not offered again,
// and the close only closes. A live connection's close first sends what
// the system had not taken yet, and gives the server its 3 s.
TEST(Rfc2217Serial, AFailedSendLosesTheConnectionAndOnlyALiveOneIsFlushedAtClose) {
  ServedPort lost;
  set_up(lost);
  lost.server->hung_up = true;
  const ByteIo io = lost.serial->write_byte('S');
  EXPECT_TRUE(io.gone);
  EXPECT_FALSE(io.call_ok);
  EXPECT_EQ(lost.serial->error_text(), "Broken pipe");
  const int sends = lost.server->sends;
  EXPECT_TRUE(lost.serial->write_byte('S').gone);
  lost.serial->close();
  EXPECT_EQ(lost.server->sends, sends) << "nothing more goes to a lost connection";
  EXPECT_EQ(lost.server->closed_within_ms, 0u);

  ServedPort live;
  set_up(live);
  live.server->reads = false;
  EXPECT_EQ(live.serial->write_byte('\r').count, 1u) << "taken by the client, not yet sent";
  live.server->reads = true;
  live.serial->close();
  EXPECT_EQ(live.server->data, "\r");
  EXPECT_EQ(live.server->closed_within_ms, 3000u);
}

// ---------------------------------------------------------------------------
// The machine's TCP connection.

// The descriptors this process holds.
size_t open_descriptors() {
  size_t n = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (readdir(dir) != nullptr) ++n;
    closedir(dir);
  }
  return n;
}

// Two addresses, as a resolver gives them: the first fails at once (its
// length is short of an IPv4 address's), the second is `to`.
struct TwoAddresses {
  explicit TwoAddresses(const sockaddr_in& to) : good(to), bad(to) {
    first.ai_family = second.ai_family = AF_INET;
    first.ai_socktype = second.ai_socktype = SOCK_STREAM;
    first.ai_addr = reinterpret_cast<sockaddr*>(&bad);
    first.ai_addrlen = 4;
    first.ai_next = &second;
    second.ai_addr = reinterpret_cast<sockaddr*>(&good);
    second.ai_addrlen = sizeof good;
  }
  sockaddr_in good;
  sockaddr_in bad;
  addrinfo first{};
  addrinfo second{};
};

sockaddr_in loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  return address;
}

int option(int fd, int level, int name) {
  int value = -1;
  socklen_t size = sizeof value;
  EXPECT_EQ(getsockopt(fd, level, name, &value, &size), 0);
  return value;
}

// An address that fails at once is no connection: the next one is tried,
// and the connection made is tuned for single bytes and a silent network.
// No attempt, failed or not, leaves a descriptor behind.
TEST(TcpConnection, TriesTheNextAddressTunesTheConnectionAndLeaksNoDescriptor) {
  ScriptedServer server([](int fd) {
    pollfd p{fd, POLLIN, 0};
    poll(&p, 1, kPeerWaitMs);  // until the client closes
  });
  const sockaddr_in to = loopback(server.port());
  TwoAddresses addresses(to);
  int fd = -1;
  std::string error;
  ASSERT_EQ(connect_addresses(&addresses.first, 5000, fd, error), ConnectResult::ok) << error;
  sockaddr_in peer{};
  socklen_t size = sizeof peer;
  ASSERT_EQ(getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &size), 0) << "not connected";
  EXPECT_EQ(peer.sin_port, to.sin_port);
  EXPECT_EQ(option(fd, IPPROTO_TCP, TCP_NODELAY), 1);
  EXPECT_EQ(option(fd, SOL_SOCKET, SO_KEEPALIVE), 1);
  EXPECT_EQ(option(fd, IPPROTO_TCP, TCP_KEEPIDLE), 10);
  EXPECT_EQ(option(fd, IPPROTO_TCP, TCP_KEEPINTVL), 5);
  EXPECT_EQ(option(fd, IPPROTO_TCP, TCP_KEEPCNT), 3);
  ::close(fd);
  server.join();

  const size_t before = open_descriptors();
  addresses.first.ai_next = nullptr;
  EXPECT_EQ(connect_addresses(&addresses.first, 5000, fd, error), ConnectResult::failed);
  EXPECT_EQ(fd, -1);
  EXPECT_EQ(error, std::strerror(EINVAL));
  TcpConnection refused;
  EXPECT_EQ(refused.connect("127.0.0.1", static_cast<uint16_t>(unused_loopback_port()), 5000),
            ConnectResult::refused);
  EXPECT_EQ(open_descriptors(), before);
}

// A server that keeps sending after our end has closed cannot hold the
// close: it ends once more has come than a line could carry meanwhile.
TEST(TcpConnection, ACloseEndsWhileTheServerKeepsSending) {
  constexpr size_t kMost = 256u << 20;
  size_t sent = 0;
  ScriptedServer server([&sent](int fd) {
    const std::string block(65536, '\xF1');
    while (sent < kMost) {
      const ssize_t n = ::send(fd, block.data(), block.size(), MSG_NOSIGNAL);
      if (n <= 0) return;
      sent += static_cast<size_t>(n);
    }
  });
  TcpConnection connection;
  ASSERT_EQ(connection.connect("127.0.0.1", static_cast<uint16_t>(server.port()), 5000),
            ConnectResult::ok);
  connection.close(3000);
  EXPECT_FALSE(connection.is_open());
  server.join();
  EXPECT_LT(sent, kMost / 4) << "the close read on while the server sent";
}

}  // namespace
}  // namespace chipferry::test
