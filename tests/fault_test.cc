// The promises that matter when something goes wrong: the exit code, the
// last message, what reached the programmer, and that no image file
// changed unless a save succeeded.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "tests/support/bench.h"
#include "tests/support/temp_dir.h"
#include "tests/support/transfer_scene.h"

namespace chipferry::test {
namespace {

const Bytes kOldImage(2048, 0x5A);

struct FaultCase {
  const char* name;
  std::string input;  ///< "%F" stands for the image file's path
  std::function<void(Bench&)> arrange;
  int exit_code;
  const char* last_message;
};

std::string with_path(std::string input, const std::string& path) {
  for (size_t at = input.find("%F"); at != std::string::npos; at = input.find("%F")) {
    input.replace(at, 2, path);
  }
  return input;
}

std::string last_line(const std::string& out) {
  const size_t end = out.size() > 0 && out.back() == '\n' ? out.size() - 1 : out.size();
  const size_t start = out.rfind('\n', end - 1);
  return out.substr(start == std::string::npos ? 0 : start + 1);
}

void silence_after_commands(Bench& b, size_t commands) {
  b.programmer.faults.quiet_after_commands = commands;
}

TEST(Faults, EveryFailureEndsWithItsCodeAndLeavesTheImageAlone) {
  const FaultCase cases[] = {
      {"type query unanswered (save)", "2\n%F\n", [](Bench& b) { silence_after_commands(b, 0); }, 6,
       "No Response\n"},
      {"type query unanswered (dump)", "5\n", [](Bench& b) { silence_after_commands(b, 0); }, 6,
       "No Response\n"},
      {"operation command unanswered", "9\n", [](Bench& b) { silence_after_commands(b, 1); }, 6,
       "No Response\n"},
      {"status frame of neither kind", "9\n",
       [](Bench& b) { b.programmer.faults.execute_replies.push_back("[PAS5][C]"); }, 7,
       "Invalid Response\n"},
      {"status frame cut short", "6\n",
       [](Bench& b) { b.programmer.faults.execute_replies.push_back("[PAS"); }, 7,
       "Invalid Response\n"},
      {"no prompt after an error code", "9\n",
       [](Bench& b) {
         b.programmer.faults.execute_replies.push_back("[ERROR #12]");
         silence_after_commands(b, 3);
       },
       6, "No Response\n"},
      {"upload unanswered", "1\n%F\n",
       [](Bench& b) { b.programmer.faults.upload_unanswered = true; }, 6, "No Response\n"},
      {"upload checksum differs", "1\n%F\n",
       [](Bench& b) { b.programmer.faults.checksum_reply = "[1A2B ][C]"; }, 7,
       "Checksum wrong! 1a2b does not equal d000\n"},
      {"checksum reply without the blank", "1\n%F\n",
       [](Bench& b) { b.programmer.faults.checksum_reply = "[D000]\r[C]"; }, 7,
       "Invalid Response\n"},
      {"download preamble too short", "2\n%F\n",
       [](Bench& b) { b.programmer.faults.download_preamble = std::string(1, '\0') + "\xFF"; }, 6,
       "Data preamble invalid\n"},
      {"download with 250 bytes too many", "2\n%F\n",
       [](Bench& b) { b.programmer.faults.download_length = 2048 + 245; }, 6,
       "Transmission has been aborted, 2298 bytes has been received\n"},
      {"download without the trailer", "2\n%F\n",
       [](Bench& b) { b.programmer.faults.download_trailer = "\r\n"; }, 6, "No Response\n"},
      {"download checksum differs", "2\n%F\n",
       [](Bench& b) { b.programmer.faults.checksum_reply = "[0001 ][C]"; }, 7,
       "Checksum wrong! 0001 does not equal f800\n"},
      {"input ends before the name", "2\n", [](Bench&) {}, 8, "Buffer not saved\n"},
  };
  for (const FaultCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string image = dir / "image.bin";
    write_file(image, kOldImage);
    Bench b;
    b.programmer.selected = type_of_class(0);
    c.arrange(b);
    EXPECT_EQ(b.run(with_path(c.input, image)), c.exit_code);
    EXPECT_EQ(last_line(b.console.out), c.last_message);
    EXPECT_EQ(read_file(image), kOldImage);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"image.bin"});
    // Whatever went wrong, the programmer is handed back at the end.
    const std::string wire = b.wire();
    EXPECT_EQ(wire.substr(wire.size() - kRelease.size()), kRelease);
  }
}

TEST(Faults, ADeviceThatFloodsBytesForeverCannotHoldTheProgram) {
  // A line that never stops sending 'x': no prompt can be read, so the
  // wake-up gives up after its attempts.
  Bench b;
  b.programmer.faults.silent = true;
  b.programmer.inject(std::string(3 * 3600, 'x'), 0);
  EXPECT_EQ(b.run("q\n"), 6);
  EXPECT_EQ(b.out_after_banner(), "No Response\n");

  // The same after the 0xFF of a download: the buffer fills, and the wait
  // for the prompt that must follow gives up.
  TempDir dir;
  Bench d;
  d.programmer.selected = type_of_class(0);
  d.programmer.faults.download_trailer = std::string(70000 + 3 * 3600, 'x');
  EXPECT_EQ(d.run("2\n" + (dir / "out.bin") + "\n"), 6);
  EXPECT_EQ(last_line(d.console.out), "No Response\n");
  EXPECT_TRUE(dir.entries().empty());
}

TEST(Faults, ADeviceThatAnswersEveryWaitWithGarbage) {
  for (const char* input : {"5\n", "6\n", "9\n", "1\n%F\n", "2\n%F\n"}) {
    SCOPED_TRACE(input);
    TempDir dir;
    const std::string image = dir / "image.bin";
    write_file(image, kOldImage);
    Bench b;
    b.programmer.selected = type_of_class(0);
    b.programmer.faults.garbage_replies = true;
    const int code = b.run(with_path(input, image));
    EXPECT_TRUE(code == 6 || code == 7) << code;
    EXPECT_EQ(read_file(image), kOldImage);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"image.bin"});
  }
}

TEST(Faults, InputThatEndsInTheMiddleOfEveryPrompt) {
  struct Case {
    const char* input;
    int code;
    const char* wire_after_wake_up;
  };
  const Case cases[] = {
      {"1\n", 0, ""},  // no name: back to the menu, which ends
      {"1", 0, ""},    // not even a line end
      {"3\n", 0, ""},  // the key wait has no keyboard
      {"4\n", 0, ""},  // no word: nothing selected
      {"4\n  \n", 0, ""},
      {"7\n", 0, "R\r"},                     // no confirmation: nothing programmed
      {"8", 0, ""},                          // nothing sent before the word
      {"2\n", 8, "R\rS8\rS1K 0000-07FF\r"},  // a received image that cannot be saved
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    Bench b;
    b.programmer.selected = type_of_class(0);
    EXPECT_EQ(b.run(c.input), c.code);
    EXPECT_EQ(b.wire(), kWakeUp + c.wire_after_wake_up + kRelease);
  }
}

// A NUL byte typed in a name or a word (Ctrl+@ at a terminal) would end
// it for the system's calls and the old comparisons alike: what stands
// before it must not be taken for the whole.
TEST(Faults, ANulInTypedTextIsNeverTakenForItsEnd) {
  TempDir dir;
  const std::string image = dir / "image.bin";
  write_file(image, kOldImage);
  const std::string nul(1, '\0');
  const struct {
    const char* name;
    std::string input;
    std::string out;   // after the menu
    std::string wire;  // between the wake-up and the release
  } cases[] = {
      {"a file to load", "1\n" + image + nul + "x\n\n",
       "Enter Filename\nCan't read file " + image + "\nEnter Filename\n" + kMenu, ""},
      {"a file to save over", "2\n" + image + nul + "x\n",
       "Enter Filename\nCan't write file " + image + "\nEnter Filename\nBuffer not saved\n",
       "R\rS8\rS1K 0000-07FF\r"},
      {"a ROM type", "4\n2716" + nul + "\n",
       "Enter ROM type (full or short name)\n"
       "Unknown ROM type, see ROM list for supported types.\n" +
           kMenu,
       ""},
      {"the confirmation", "8\nerase" + nul + "\n",
       "Type the word 'ERASE' to confirm this action\n" + kMenu, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bench b;
    b.programmer.selected = type_of_class(0);
    b.run(c.input);
    EXPECT_EQ(b.out_after_banner(), kMenu + c.out);
    EXPECT_EQ(b.wire(), kWakeUp + c.wire + kRelease);
    EXPECT_EQ(read_file(image), kOldImage);
  }
}

}  // namespace
}  // namespace chipferry::test
