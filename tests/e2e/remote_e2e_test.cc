// chipferry on a programmer behind a real port server: Debian's ser2net
// serves chipferry-sim's pseudo-terminal over Telnet's serial port option
// on 127.0.0.1, and chipferry reaches it as rfc2217://127.0.0.1:PORT.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "tests/e2e/harness.h"
#include "tests/support/loopback.h"

namespace chipferry::test::e2e {
namespace {

std::string find_ser2net() {
  std::string dirs = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
  // Debian puts it where a user's PATH may not look.
  dirs += ":/usr/sbin:/usr/local/sbin";
  std::istringstream list(dirs);
  for (std::string dir; std::getline(list, dir, ':');) {
    const std::string path = dir + "/ser2net";
    if (!dir.empty() && access(path.c_str(), X_OK) == 0) return path;
  }
  return {};
}

// Whether something listens on 127.0.0.1:`port`, as the kernel tells it,
// without a connection that would make ser2net open the port.
bool listening(int port) {
  std::ifstream table("/proc/net/tcp");
  char wanted[32];
  std::snprintf(wanted, sizeof wanted, "0100007F:%04X", port);
  for (std::string line; std::getline(table, line);) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    if (local == wanted && state == "0A") return true;
  }
  return false;
}

// An image as burned ones are: a third of it 0xFF, runs of it, and every
// other byte value, but nothing that looks like a prompt or an ESC.
std::string image_full_of_ff(size_t n) {
  std::string bytes(n, '\0');
  for (size_t i = 0; i < n; ++i) {
    uint8_t b = static_cast<uint8_t>((i * 37 + i / 256) & 0xFF);
    if (i % 3 == 0 || (i / 64) % 5 == 0) b = 0xFF;
    if (b == '[' || b == 0x1B) b = 0x5A;
    bytes[i] = static_cast<char>(b);
  }
  return bytes;
}

TEST(Remote, AWholeSessionThroughSer2netBringsTheImageBackByteForByte) {
  const std::string ser2net = find_ser2net();
  if (ser2net.empty()) GTEST_SKIP() << "ser2net is not installed (apt-get install ser2net)";
  TempDir dir;
  Sim sim(dir, {"--type", "2716"});
  const int port = unused_loopback_port();
  write_file(dir / "ser2net.yaml",
             "connection: &programmer\n"
             "  accepter: telnet(rfc2217),tcp,127.0.0.1," +
                 std::to_string(port) +
                 "\n"
                 "  connector: serialdev," +
                 sim.port + ",19200n81,local\n");
  // In the foreground, without lock files, its pid file in our folder: it
  // shares the machine with other runs.
  Process::Setup setup;
  setup.argv = {ser2net, "-n", "-u", "-P", dir / "ser2net.pid", "-c", dir / "ser2net.yaml"};
  Process server(setup);
  const auto end = std::chrono::steady_clock::now() + kRunLimit;
  while (!listening(port) && std::chrono::steady_clock::now() < end) poll(nullptr, 0, 20);
  ASSERT_TRUE(listening(port)) << "ser2net did not listen on 127.0.0.1:" << port;

  const std::string block = image_full_of_ff(2048);
  write_file(dir / "up.bin", block);
  // With a trace of its own: a failure is best read from both ends.
  Process::Setup program = chipferry_setup("rfc2217://127.0.0.1:" + std::to_string(port));
  program.env.push_back("CHIPFERRY_TRACE=" + dir / "chipferry.trace");
  Process chipferry(program);
  chipferry.write_input("4\n2716\n1\n" + dir / "up.bin" + "\n2\n" + dir / "down.bin" + "\nq\n");
  chipferry.close_input();
  EXPECT_EQ(chipferry.wait(), 0);
  EXPECT_EQ(after_banner(chipferry.out()), kMenu + "Enter ROM type (full or short name)\n" +
                                               "Type:2716 Voltage:25.0V Short name:16\n" + kMenu +
                                               "Enter Filename\n" + kMenu + "Enter Filename\n" +
                                               kMenu);
  EXPECT_TRUE(read_file<std::string>(dir / "down.bin") == block) << "the saved image differs";

  // ser2net closes the port once it has passed on all the connection
  // brought; on a busy machine that may be after chipferry has gone.
  EXPECT_TRUE(sim.wait_for_log("port closed")) << "ser2net kept the port open";
  server.signal(SIGTERM);
  server.wait();
  EXPECT_EQ(sim.stop(), 0);
  // Every 0xFF reached the programmer once, and came back once.
  const std::string log = sim.log();
  const std::string sent = log_bytes(log, '>');
  EXPECT_NE(sent.find(kUploadStart + block), std::string::npos);
  EXPECT_NE(log_bytes(log, '<').find(block), std::string::npos);
  size_t queries = 0;
  for (size_t at = sent.find("S1K 0000-07FF\r"); at != std::string::npos;
       at = sent.find("S1K 0000-07FF\r", at + 1)) {
    ++queries;
  }
  EXPECT_EQ(queries, 2u) << "both checksums";
  // The release is certain in chipferry's trace: sent whole, and the
  // connection closed by the server, not lost. At the simulator it may
  // come short: ser2net closes a pseudo-terminal with a flush that drops
  // what the simulator has not read yet (a real port it lets drain), and
  // a busy machine may hold the simulator off that long. It must still
  // get nothing but the release, or a start of it.
  const std::string trace = read_file<std::string>(dir / "chipferry.trace");
  EXPECT_TRUE(log_bytes(trace, '>').ends_with(kRelease));
  EXPECT_EQ(trace.find("connection to the port server ended"), std::string::npos);
  const std::string after_queries = sent.substr(sent.rfind("S1K 0000-07FF\r") + 14);
  EXPECT_TRUE(kRelease.starts_with(after_queries)) << after_queries;
  if (HasFailure()) std::printf("chipferry's trace:\n%s", trace.c_str());
}

}  // namespace
}  // namespace chipferry::test::e2e
