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
// The backend, against a port server the test plays.

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

// Reads what the client sends until `done` says it holds enough; what it
// read. Empty-handed after kPeerWaitMs.
std::string read_until(int fd, const std::function<bool(const std::string&)>& done) {
  std::string got;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPeerWaitMs);
  while (!done(got) && std::chrono::steady_clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 50) != 1) continue;
    char chunk[512];
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) break;
    got.append(chunk, static_cast<size_t>(n));
  }
  return got;
}

// ser2net's opening with a banner, and every one of the client's settings
// answered as asked, for the query at open and the settings after it.
void serve_as_a_port(int fd) {
  put(fd, bytes({0xFF, 251, 3, 0xFF, 253, 3, 0xFF, 253, 0, 0xFF, 251, 0, 0xFF, 253, 44}) +
              "\r\nser2net port 7416\r\n");
  size_t answered = 0;
  std::string in;
  while (answered < 10) {
    const std::string more = read_until(fd, [](const std::string& s) { return !s.empty(); });
    if (more.empty()) return;
    in += more;
    for (size_t at = in.find("\xFF\xFA\x2C"); at != std::string::npos;
         at = in.find("\xFF\xFA\x2C")) {
      const size_t end = in.find("\xFF\xF0", at);
      if (end == std::string::npos) break;
      std::string reply = in.substr(at, end + 2 - at);
      reply[3] = static_cast<char>(reply[3] + 100);
      put(fd, reply);
      in.erase(0, end + 2);
      ++answered;
    }
  }
}

struct Com1 {
  explicit Com1(const std::string& url) { setenv("CHIPFERRY_COM1", url.c_str(), 1); }
  ~Com1() { setenv("CHIPFERRY_COM1", "/nonexistent/set-CHIPFERRY_COM1-in-this-test", 1); }
};

void open_configured(SerialDevice& serial) {
  ASSERT_EQ(serial.open("COM1"), OpenResult::ok) << serial.error_text();
  LineSettings settings;
  ASSERT_TRUE(serial.get_state(settings));
  settings = {19200, 8, Parity::none, StopBits::one, Handshake::rts_cts};
  ASSERT_TRUE(serial.set_state(settings)) << serial.error_text();
  ASSERT_TRUE(serial.set_timeouts({60, 60}));
}

TEST(Rfc2217Serial, AConnectionCutMidBlockEndsLikeAVanishedPort) {
  std::string received;
  ScriptedServer server([&](int fd) {
    serve_as_a_port(fd);
    received = read_until(fd, [](const std::string& s) { return s.size() >= 3; });
    // A block's first bytes, 0xFF doubled, then the connection cut in the
    // middle of the next doubled 0xFF.
    put(fd, bytes({'A', 0xFF, 0xFF, 'B', 0xFF}));
  });
  const auto serial = std::make_unique<Rfc2217Serial>(server.url());
  open_configured(*serial);
  EXPECT_EQ(serial->write_byte(0xFF).count, 1u);
  EXPECT_EQ(serial->write_byte('x').count, 1u);

  // What came before the cut is read, and not the banner from before the
  // port was set up; then the call fails.
  std::string block;
  ByteIo io;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPeerWaitMs);
  while (std::chrono::steady_clock::now() < end) {
    uint8_t byte = 0;
    io = serial->read_byte(byte);
    if (!io.call_ok) break;
    if (io.count == 1) block += static_cast<char>(byte);
  }
  EXPECT_FALSE(io.call_ok);
  EXPECT_EQ(block, bytes({'A', 0xFF, 'B'}));
  for (int i = 0; i < 2; ++i) {
    const auto start = std::chrono::steady_clock::now();
    uint8_t byte = 0;
    const ByteIo read = serial->read_byte(byte);
    EXPECT_FALSE(read.call_ok);
    EXPECT_EQ(read.count, 0u);
    EXPECT_FALSE(serial->write_byte('y').call_ok);
    // Each failed call still takes its time-out: no caller spins.
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(110));
  }
  EXPECT_NE(serial->error_text().find("connection to the port server ended"), std::string::npos)
      << serial->error_text();
  serial->close();
  EXPECT_EQ(received, bytes({0xFF, 0xFF, 'x'}));
}

// The whole start-up against `url`, on a virtual clock.
int start_up_with(const std::string& url, ScriptedConsole& console) {
  Com1 com1(url);
  sim::VirtualClock clock;
  auto serial = remote_serial_from_environment();
  EXPECT_NE(serial, nullptr);
  auto session = std::make_unique<Session>(*serial, console, clock);
  console.input = "q\n";
  return run_program(*session);
}

TEST(Rfc2217Serial, PortFailuresGiveTheirExitCodesAndSayWhy) {
  ScriptedServer hangs_up([](int) {});
  const struct {
    std::string url;
    int code;
    const char* message;
    const char* reason;
  } cases[] = {
      {"rfc2217://127.0.0.1", 1, "Port COM1 doesn't exist\n", "no port number"},
      {"rfc2217://127.0.0.1:" + std::to_string(unused_loopback_port()), 1,
       "Port COM1 doesn't exist\n", "Connection refused"},
      {hangs_up.url(), 2, "Can't access Port COM1\n", "connection to the port server ended"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    sim::VirtualClock clock;
    ScriptedConsole console(clock);
    EXPECT_EQ(start_up_with(c.url, console), c.code);
    EXPECT_NE(console.out.find(c.message), std::string::npos) << console.out;
    ASSERT_EQ(console.diagnostics.size(), 1u);
    EXPECT_EQ(console.diagnostics[0].rfind("COM1 (" + c.url + "): ", 0), 0u)
        << console.diagnostics[0];
    EXPECT_NE(console.diagnostics[0].find(c.reason), std::string::npos) << console.diagnostics[0];
  }

  // A server that refuses the serial port option: the settings are
  // refused, and the programmer still gets its release.
  std::string released;
  ScriptedServer telnet_only([&](int fd) {
    put(fd, bytes({0xFF, 254, 44, 0xFF, 253, 0, 0xFF, 251, 0, 0xFF, 253, 3, 0xFF, 251, 3}));
    released =
        read_until(fd, [](const std::string& s) { return s.find("SC\r") != std::string::npos; });
  });
  sim::VirtualClock clock;
  ScriptedConsole console(clock);
  EXPECT_EQ(start_up_with(telnet_only.url(), console), 4);
  EXPECT_NE(console.out.find("Can't set Port COM1 state\n"), std::string::npos) << console.out;
  ASSERT_EQ(console.diagnostics.size(), 1u);
  EXPECT_NE(console.diagnostics[0].find("serial port option"), std::string::npos);
  EXPECT_NE(released.find("\x1BSC\r"), std::string::npos);
}

}  // namespace
}  // namespace chipferry::test
