// Standard input as the program reads it: lines longer than the console's
// piece, in-process; and the console on Linux on a real pipe and a real
// pseudo-terminal, put in place of this process's own standard input or
// standard error for the test.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

#include "platform/console-posix.h"
#include "tests/support/asleep.h"
#include "tests/support/bench.h"

namespace chipferry::test {
namespace {

const std::string kTooLong = std::string(kInputPiece + 10, 'a');

std::string option_x(size_t times) {
  std::string out;
  for (size_t i = 0; i < times; ++i) out += "Option x does not exist, please try again.\n";
  return out;
}

// A line longer than a piece comes in pieces; read as a whole line would
// have been.
TEST(LongLines, AreReadAsIfTheyCameWhole) {
  const std::string refused = "Enter Filename\nCan't read file " + kTooLong.substr(0, 255) + "\n";
  const struct {
    const char* name;
    std::string input;
    std::string out;
  } cases[] = {
      // The menu reads every character, across the pieces.
      {"menu", std::string(2 * kInputPiece + 3, 'x') + "\nq\n",
       kMenu + option_x(2 * kInputPiece + 3)},
      // Discarded: what had not come yet goes too.
      {"discarded", "4\n2716 " + std::string(2 * kInputPiece, 'x') + "\nq\n",
       kMenu + "Enter ROM type (full or short name)\nType:2716 Voltage:25.0V Short name:16\n" +
           kMenu},
      // Refused whole, and the next line is the next answer.
      {"file name", "1\n" + kTooLong + "\n\nq\n", kMenu + refused + "Enter Filename\n" + kMenu},
      {"last line", "1\n" + kTooLong, kMenu + refused + "Enter Filename\n" + kMenu},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bench b;
    EXPECT_EQ(b.run(c.input), 0);
    EXPECT_EQ(b.out_after_banner(), c.out);
  }
}

// Carriage returns take room in a piece but are no part of a name: a run
// asked to end before the name's line is all there must not act on the
// part that came (here an image "a" that would be loaded).
TEST(LongLines, AHalfReadNameIsNotActedOnWhenTheRunMustEnd) {
  TempDir dir;
  const std::string name = dir / "a";
  write_file(name, Bytes(2048, 0x5A));
  Bench b;
  // The third read of input, which would bring the rest of the name.
  b.console.stop = ScriptedConsole::StopAt{Stop::interrupt, 0, 3};
  EXPECT_EQ(b.run("1\n" + name + std::string(kInputPiece, '\r') + "b\n"), 130);
  EXPECT_EQ(b.out_after_banner(), kMenu + "Enter Filename\n");
  EXPECT_EQ(b.wire(), kWakeUp + kRelease);
}

// Puts `fd` in place of this process's descriptor `target` until the end
// of the scope.
class InPlaceOf {
 public:
  InPlaceOf(int fd, int target) : target_(target), saved_(::dup(target)) {
    EXPECT_EQ(::dup2(fd, target), target);
  }
  ~InPlaceOf() {
    ::dup2(saved_, target_);
    ::close(saved_);
  }
  InPlaceOf(const InPlaceOf&) = delete;
  InPlaceOf& operator=(const InPlaceOf&) = delete;

 private:
  int target_;
  int saved_;
};

// A line that never ends costs one piece of memory: the console hands on
// what has come, without waiting for the line's end.
TEST(PosixConsole, InputComesInPiecesAsItStands) {
  int pipe_ends[2];
  ASSERT_EQ(::pipe(pipe_ends), 0);
  const std::string line = "3" + std::string(2 * kInputPiece + 10, 'x') + "\r\n";
  // A short line first, so that no piece is one read() of the pipe.
  const std::string input = "\n" + line + "q";  // the pipe holds it all
  ASSERT_EQ(::write(pipe_ends[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
  InPlaceOf in(pipe_ends[0], STDIN_FILENO);
  ::close(pipe_ends[0]);
  PosixConsole console;
  // The last piece has no line end: it waits for the input's end, which
  // comes only once it waits.
  const std::vector<std::string> pieces = once_it_waits(
      [&] {
        std::vector<std::string> read;
        for (std::string piece; console.read_input(piece);) read.push_back(piece);
        return read;
      },
      [&](const std::atomic<bool>&) { ::close(pipe_ends[1]); });
  EXPECT_EQ(pieces, (std::vector<std::string>{"\n", line.substr(0, kInputPiece),
                                              line.substr(kInputPiece, kInputPiece),
                                              line.substr(2 * kInputPiece), "q"}));
}

}  // namespace
}  // namespace chipferry::test
