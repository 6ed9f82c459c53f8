// The serial port on another machine: the Telnet layer byte by byte, and
// the backend against a port server that the test scripts on 127.0.0.1.
#include "platform/rfc2217.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "app/program.h"
#include "platform/serial-rfc2217.h"
#include "tests/support/loopback.h"
#include "tests/support/scripted_console.h"
#include "tests/support/wire.h"

namespace chipferry::test {
namespace {

using rfc2217::Client;
using rfc2217::Command;

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
  client.send_command(Command::set_baud_rate, 0x0000FF00);
  EXPECT_EQ(client.out,
            bytes({0x41, 0xFF, 0xFF, 0xFF, 0xFA, 44, 1, 0, 0, 0xFF, 0xFF, 0, 0xFF, 0xF0}));

  // Data with a doubled IAC around the server's answer to a baud rate
  // whose value holds 0xFF, cut at every place in turn.
  const std::string stream = bytes(
      {'a', 0xFF, 0xFF, 0xFF, 0xFA, 44, 101, 0, 0, 0xFF, 0xFF, 0x00, 0xFF, 0xF0, 0xFF, 0xFF, 'b'});
  for (size_t cut = 0; cut <= stream.size(); ++cut) {
    SCOPED_TRACE(cut);
    Client reader;
    take(reader, stream.substr(0, cut));
    take(reader, stream.substr(cut));
    EXPECT_EQ(data_of(reader), bytes({'a', 0xFF, 0xFF, 'b'}));
    ASSERT_EQ(reader.replies.size(), 1u);
    EXPECT_EQ(reader.replies[0].command, Command::set_baud_rate);
    EXPECT_EQ(reader.replies[0].value, 0x0000FF00u);
  }
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
// The whole program against a port server the test plays on 127.0.0.1.

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
    thread_.join();
    ::close(listen_fd_);
  }
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  std::string url() const { return "rfc2217://127.0.0.1:" + std::to_string(port_); }

 private:
  int listen_fd_ = -1;
  int port_ = 0;
  std::thread thread_;
};

void put(int fd, const std::string& s) {
  ASSERT_EQ(::send(fd, s.data(), s.size(), MSG_NOSIGNAL), static_cast<ssize_t>(s.size()));
}

// What the client sends next; empty once it has closed, or after
// kPeerWaitMs of silence.
std::string read_some(int fd) {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, kPeerWaitMs) != 1) return {};
  char chunk[512];
  const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
  return n > 0 ? std::string(chunk, static_cast<size_t>(n)) : std::string();
}

// ser2net's opening: our requests answered, and the serial port option.
const std::string kPortOpening =
    bytes({0xFF, 251, 3, 0xFF, 253, 3, 0xFF, 253, 0, 0xFF, 251, 0, 0xFF, 253, 44});

// A port server as the client meets it: `opening` and a banner, then every
// serial port command answered with the value asked, and the data, with
// 0xFF undoubled, handed to `programmer`. It adds what the programmer
// says (its 0xFF doubled) to `reply`, and returns false to end the
// connection from this side. Returns the data when the client closed.
std::string serve(
    int fd, const std::string& opening,
    const std::function<bool(const std::string& data, std::string& reply)>& programmer) {
  put(fd, opening + "\r\nser2net port 7416\r\n");
  std::string in;
  std::string data;
  for (std::string more = read_some(fd); !more.empty(); more = read_some(fd)) {
    in += more;
    std::string reply;
    size_t at = 0;
    while (at < in.size()) {
      if (in[at] != '\xFF') {
        data += in[at++];
        continue;
      }
      if (at + 1 == in.size()) break;
      const auto verb = static_cast<uint8_t>(in[at + 1]);
      if (verb == 0xFF) {
        data += in[at];
        at += 2;
      } else if (verb == 0xFA) {
        const size_t end = in.find("\xFF\xF0", at);
        if (end == std::string::npos) break;
        reply += in.substr(at, 3) + static_cast<char>(in[at + 3] + 100) +
                 in.substr(at + 4, end + 2 - at - 4);
        at = end + 2;
      } else {
        if (verb >= 251 && at + 2 == in.size()) break;
        at += verb >= 251 ? 3 : 2;
      }
    }
    in.erase(0, at);
    const bool go_on = programmer(data, reply);
    if (!reply.empty()) put(fd, reply);
    if (!go_on) break;
  }
  return data;
}

struct Com1 {
  explicit Com1(const std::string& url) { setenv("CHIPFERRY_COM1", url.c_str(), 1); }
  ~Com1() { setenv("CHIPFERRY_COM1", "/nonexistent/set-CHIPFERRY_COM1-in-this-test", 1); }
};

// The whole program against `url`, on a virtual clock, with `input` typed.
int run_with(const std::string& url, ScriptedConsole& console, const std::string& input) {
  Com1 com1(url);
  auto serial = remote_serial("/nonexistent/default");
  EXPECT_NE(serial, nullptr);
  if (!serial) return -1;
  VirtualClock clock;
  auto session = std::make_unique<Session>(*serial, console, clock);
  console.input = input;
  return run_program(*session);
}

TEST(Rfc2217Serial, PortFailuresGiveTheirExitCodesAndSayWhy) {
  // It reads the client's opening first: a close with bytes unread would
  // be a reset.
  ScriptedServer hangs_up([](int fd) { read_some(fd); });
  std::string released;
  // A Telnet server that refuses the serial port option: the settings are
  // refused, and the programmer still gets its release.
  ScriptedServer telnet_only([&](int fd) {
    released =
        serve(fd, bytes({0xFF, 254, 44, 0xFF, 253, 0, 0xFF, 251, 0, 0xFF, 253, 3, 0xFF, 251, 3}),
              [](const std::string&, std::string&) { return true; });
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
      {telnet_only.url(), 4, "Can't set Port COM1 state\n",
       " refused the line settings (19200 baud, 8N1, RTS/CTS): the server does not take Telnet's "
       "serial port option (RFC 2217); is it a telnet(rfc2217) port?"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    VirtualClock clock;
    ScriptedConsole console(clock);
    EXPECT_EQ(run_with(c.url, console, "q\n"), c.code);
    EXPECT_EQ(console.out, kBannerStart +
                               "Written from the programmer's documented exchanges; "
                               "no warranty.\n\n" +
                               c.message);
    EXPECT_EQ(console.diagnostics, std::vector<std::string>{"COM1 (" + c.url + ")" + c.why});
  }
  EXPECT_EQ(released, kRelease);
}

// The port server goes in the middle of a download, in the middle of a
// doubled 0xFF: what came before is read, then the run ends as it ends
// when a local port vanishes, and nothing more goes to the connection.
TEST(Rfc2217Serial, AConnectionCutMidBlockEndsLikeAVanishedPort) {
  std::string after_download;
  ScriptedServer server([&](int fd) {
    int prompts = 0;
    const std::string data =
        serve(fd, kPortOpening, [&](const std::string& data, std::string& reply) {
          const int due = static_cast<int>(data.find('\x11') != std::string::npos) +
                          static_cast<int>(data.find("S900000 01\r") != std::string::npos);
          for (; prompts < due; ++prompts) reply += "[C]";
          if (data.ends_with("R\r")) reply += "[0016][C]";
          if (!data.ends_with("S8\r")) return true;
          put(fd, bytes({0, 0, 0, 0xFF, 0xFF, 'A', 0xFF, 0xFF, 'B', 0xFF}));
          shutdown(fd, SHUT_WR);
          return true;
        });
    after_download = data.substr(data.find("S8\r") + 3);
  });
  VirtualClock clock;
  ScriptedConsole console(clock);
  EXPECT_EQ(run_with(server.url(), console, "2\nq\n"), 6);
  EXPECT_EQ(console.out.substr(console.out.find(kMenu)),
            kMenu + "Couldn't read Port COM1\nNo Response\n");
  EXPECT_EQ(console.diagnostics,
            std::vector<std::string>{"COM1 (" + server.url() +
                                     ") went away: the port server closed the connection; is the "
                                     "port server still running there, and the network up?"});
  EXPECT_EQ(after_download, "") << "no byte after the connection ended, the release's neither";
}

// The server takes bytes far faster than its line carries them. Writes
// must keep near the line, or an abandon's discard would wait behind the
// image; and the break must wait for the line, or it would overtake the
// end of an upload. Both are bounds a busy machine cannot break.
TEST(Rfc2217Serial, WritesKeepNearTheServersLineAndDrainOnlyOnceItCanHaveCarriedThem) {
  ScriptedServer server([](int fd) {
    serve(fd, kPortOpening, [](const std::string&, std::string&) { return true; });
  });
  Rfc2217Serial serial(server.url());
  ASSERT_EQ(serial.open("COM1"), OpenResult::ok) << serial.error_text();
  ASSERT_TRUE(serial.get_state());
  ASSERT_TRUE(serial.set_state()) << serial.error_text();
  ASSERT_TRUE(serial.set_timeouts({60, 60}));
  using std::chrono::steady_clock;
  const auto start = steady_clock::now();
  int written = 0;
  while (steady_clock::now() - start < std::chrono::milliseconds(300) || written < 2500) {
    written += static_cast<int>(serial.write_byte(0xFF).count);
  }
  const auto writing = steady_clock::now() - start;
  const auto line = [](int n) { return std::chrono::microseconds(521) * n; };
  EXPECT_LE(line(written), writing + std::chrono::milliseconds(1100)) << written << " bytes";
  while (!serial.wait_output_drained(50)) {
  }
  EXPECT_GE(steady_clock::now() - start, line(written));
  serial.close();
}

}  // namespace
}  // namespace chipferry::test
