// The serial port on another machine: the Telnet layer byte by byte.
#include "platform/rfc2217.h"

#include <gtest/gtest.h>

#include <string>

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

}  // namespace
}  // namespace chipferry::test
