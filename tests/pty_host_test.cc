// The pseudo-terminal host behind chipferry-sim, on a real pseudo-terminal,
// with a far end of the test's own.
#include "sim/pty_host.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>

namespace chipferry::test {
namespace {

// A copy of the first descriptor of this process whose file `is` picks:
// the host's own, as the host holds nothing else of the kind.
int copy_of_descriptor(const std::function<bool(const std::string& file)>& is) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    if (is(std::filesystem::read_symlink(entry.path(), error).string())) {
      return dup(std::stoi(entry.path().filename().string()));
    }
  }
  return -1;
}

// A program that opens the port in the moment between the host's first
// look for openers and its read of the line: the far end opens it, and
// writes, while the host hands it a byte written before.
class OpensWhileServed : public sim::Peer {
 public:
  ~OpensWhileServed() override {
    for (int fd : {program, host_end}) {
      if (fd >= 0) ::close(fd);
    }
  }

  void receive(uint8_t byte, uint64_t now_ms) override {
    if (byte == 'a') {
      // The host falls behind the line, so that the next byte and the
      // program's are both due when it next looks.
      std::this_thread::sleep_for(std::chrono::milliseconds(3));
    } else if (byte == 'b') {
      program = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
      EXPECT_EQ(::write(program, "?", 1), 1);
      // Until the byte has crossed to the host's end, which the kernel
      // does in a moment of its own.
      pollfd crossed{host_end, POLLIN, 0};
      EXPECT_EQ(poll(&crossed, 1, 10000), 1);
    } else if (byte == '?') {
      answer_at_ = now_ms;
    }
  }
  void advance(uint64_t) override {}
  std::optional<uint64_t> next_ready() const override {
    return answered_ ? std::nullopt : answer_at_;
  }
  uint8_t take() override {
    answered_ = true;
    return '!';
  }
  void drop_output() override {}
  bool ended() const override { return answered_; }

  std::string path;   ///< the port
  int host_end = -1;  ///< a copy of the host's end of the line
  int program = -1;   ///< the program's descriptor, once it has opened the port

 private:
  std::optional<uint64_t> answer_at_;
  bool answered_ = false;
};

// The race of a program's open with the host's own wake-up: the open is
// seen before the program's bytes are answered, or the answer goes to
// nobody.
TEST(PtyHost, AProgramThatOpensThePortWhileTheHostIsAwakeGetsItsAnswer) {
  OpensWhileServed far_end;
  sim::TrafficLog log;
  sim::PtyHost host(far_end, log, true);
  std::string error;
  ASSERT_TRUE(host.open(error)) << error;
  far_end.path = host.serial_path();
  far_end.host_end = copy_of_descriptor([](const std::string& f) { return f.ends_with("ptmx"); });
  ASSERT_GE(far_end.host_end, 0);
  // Bytes written through a copy of the host's own terminal end come from
  // nobody who opened the port.
  const int writer = copy_of_descriptor([&](const std::string& f) { return f == far_end.path; });
  ASSERT_GE(writer, 0);
  ASSERT_EQ(::write(writer, "ab", 2), 2);
  ::close(writer);
  int wake[2] = {-1, -1};
  ASSERT_EQ(pipe(wake), 0);
  host.serve(wake[0]);
  ::close(wake[0]);
  ::close(wake[1]);

  ASSERT_GE(far_end.program, 0);
  pollfd p{far_end.program, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 5000), 1) << "the answer was sent to nobody";
  char answer = 0;
  EXPECT_EQ(::read(far_end.program, &answer, 1), 1);
  EXPECT_EQ(answer, '!');
}

}  // namespace
}  // namespace chipferry::test
