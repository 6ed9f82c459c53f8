// Standard input as the program reads it: lines longer than the console's
// piece, in-process; and the console on Linux on a real pipe and a real
// pseudo-terminal, put in place of this process's own standard input or
// standard error for the test.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "platform/console-posix.h"
#include "platform/interrupt-posix.h"
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

struct Pty {
  Pty() { EXPECT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0); }
  ~Pty() {
    ::close(master);
    ::close(slave);
  }
  int master = -1;
  int slave = -1;
};

// What the terminal's far end `master` has received, up to `size` bytes;
// less when no more comes within ten seconds.
std::string read_screen(int master, size_t size) {
  std::string screen(size, '\0');
  size_t got = 0;
  for (pollfd p{master, POLLIN, 0}; got < size && poll(&p, 1, 10000) == 1;) {
    const ssize_t n = ::read(master, screen.data() + got, size - got);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  screen.resize(got);
  return screen;
}

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

// "Press any key": the wait lasts until a key comes, and leaves the key
// for the next line.
TEST(PosixConsole, TheKeyWaitEndsAtAKeyAndLeavesIt) {
  Pty pty;
  InPlaceOf in(pty.slave, STDIN_FILENO);
  PosixConsole console;
  std::atomic<bool> pressed{false};
  once_it_waits(
      [&] {
        console.wait_key();
        return 0;
      },
      [&](const std::atomic<bool>&) {
        pressed = true;
        EXPECT_EQ(::write(pty.master, "x", 1), 1);
      });
  EXPECT_TRUE(pressed);
  ASSERT_EQ(::write(pty.master, "\n", 1), 1);
  std::string piece;
  EXPECT_TRUE(console.read_input(piece));
  EXPECT_EQ(piece, "x\n");
}

// A status line wider than the terminal would wrap, and its next redraw
// land on the line below: it is cut one column short of the width, or of
// 80 columns when the terminal does not say.
TEST(PosixConsole, TheStatusLineIsCutToTheTerminalsWidth) {
  for (const auto& [columns, shown] : {std::pair{40, 39}, std::pair{0, 79}}) {
    SCOPED_TRACE(columns);
    Pty pty;
    winsize size{};
    size.ws_row = 24;
    size.ws_col = static_cast<unsigned short>(columns);
    ASSERT_EQ(ioctl(pty.master, TIOCSWINSZ, &size), 0);
    {
      InPlaceOf error(pty.slave, STDERR_FILENO);
      PosixConsole console;
      console.status(std::string(100, 's'));
    }  // erased as the console goes
    const std::string expected = "\r" + std::string(shown, 's') + "\x1b[K\r\x1b[K";
    EXPECT_EQ(read_screen(pty.master, expected.size()), expected);
  }
}

// Lets a signal in just after the wait's look at whether the run must
// end, before the wait itself: the moment a signal would be missed in.
class SignalAfterTheLook : public PosixConsole {
 public:
  Stop stop_requested() override {
    const Stop stop = PosixConsole::stop_requested();
    if (stop == Stop::none && !raised_) {
      raised_ = true;
      raise(SIGHUP);
    }
    return stop;
  }

 private:
  bool raised_ = false;
};

// A Ctrl+C (here a SIGHUP) that comes just before a wait for input ends
// the wait, as one during it does, not the next line typed. In a process
// of its own: the handlers, once installed, stay.
TEST(PosixConsole, ASignalJustBeforeTheWaitEndsIt) {
  EXPECT_EXIT(
      {
        posix_interrupt::install();
        int pipe_ends[2];
        if (::pipe(pipe_ends) != 0 || ::dup2(pipe_ends[0], STDIN_FILENO) < 0) std::_Exit(2);
        SignalAfterTheLook console;
        std::string piece;
        // Were the signal missed, only input would end the wait.
        const bool read = once_it_waits(
            [&] { return console.read_input(piece); },
            [&](const std::atomic<bool>&) { (void)!::write(pipe_ends[1], "x\n", 2); });
        std::_Exit(!read && console.stop_requested() == Stop::hang_up ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace chipferry::test
