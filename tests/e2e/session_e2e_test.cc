// What a user does with chipferry, end to end: the real program over a
// real pseudo-terminal against chipferry-sim, with scripts on a pipe or
// keys pressed at a terminal of its own.
//
// The Session suite is also run against the Windows build under Wine: it
// starts chipferry only through the harness, and reads its output with
// carriage returns dropped, since either build may put them in. The other
// suites are for this build only.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <thread>

#include "tests/e2e/harness.h"
#include "tests/support/srec_cat.h"

namespace chipferry::test::e2e {
namespace {

std::string without_cr(std::string text) {
  std::erase(text, '\r');
  return text;
}

size_t count_of(const std::string& haystack, const std::string& needle) {
  size_t n = 0;
  for (size_t at = haystack.find(needle); at != std::string::npos;
       at = haystack.find(needle, at + 1)) {
    ++n;
  }
  return n;
}

// Bytes in which no run looks like a prompt, an ESC or a preamble.
std::string image(size_t n, unsigned seed) {
  std::string bytes(n, '\0');
  for (size_t i = 0; i < n; ++i) {
    uint8_t b = static_cast<uint8_t>((i * 31 + seed + i / 256) & 0xFF);
    if (b == '[' || b == 0x1B) b = 0x5A;
    bytes[i] = static_cast<char>(b);
  }
  return bytes;
}

const char kMenuEnd[] = "(Q)uit";
// For a run of steps that programs a chip: the pauses of a 2716 alone come
// to more than ten seconds.
constexpr milliseconds kStepsLimit{60000};

// ---------------------------------------------------------------------------
// Session: what a user does, on any build.

TEST(Session, StartsUpAndQuitsHandingTheProgrammerBack) {
  TempDir dir;
  Sim sim(dir);
  const RunResult run = run_chipferry(sim.port, "q\n");
  EXPECT_EQ(run.code, 0);
  EXPECT_EQ(after_banner(without_cr(run.out)), kMenu);
  EXPECT_EQ(sim.stop(), 0);
  const std::string log = sim.log();
  EXPECT_EQ(log_bytes(log, '>'), kWakeUp + kRelease);
  EXPECT_EQ(log_bytes(log, '<'), "[C][C]");
}

TEST(Session, A64KImageGoesUpAndComesBackByteForByte) {
  TempDir dir;
  Sim sim(dir, {"--type", "27512"});
  const std::string block = image(65536, 3);
  write_file(dir / "up.bin", block);
  const RunResult run =
      run_chipferry(sim.port, "1\n" + dir / "up.bin" + "\n2\n" + dir / "down.bin" + "\nq\n");
  EXPECT_EQ(run.code, 0);
  EXPECT_EQ(after_banner(without_cr(run.out)), repeat(kMenu + "Enter Filename\n", 2) + kMenu);
  EXPECT_TRUE(read_file<std::string>(dir / "down.bin") == block) << "the saved image differs";

  EXPECT_EQ(sim.stop(), 0);
  const std::string log = sim.log();
  const std::string sent = log_bytes(log, '>');
  EXPECT_NE(sent.find(kUploadStart + block), std::string::npos);
  EXPECT_EQ(count_of(sent, "S1K 0000-FFFF\r"), 2u);
  EXPECT_EQ(count_of(log_bytes(log, '<'), checksum_reply(block) + "[C]"), 2u);
}

// An image as an assembler writes it, linked at E000: it goes into a 2764
// at 0000, and comes back as S-records with the system's own line ends
// (CR LF from the Windows build), which srec_cat reads back.
TEST(Session, ATextImageGoesInAtItsWindowAndComesBackAsText) {
  TempDir dir;
  Sim sim(dir, {"--type", "2764"});
  const std::string block = image(8192, 5);
  write_file(dir / "fw.bin", block);
  ASSERT_TRUE(srec_cat(dir / "fw.bin -Binary -offset 0xE000 -o " + dir / "fw.hex -Intel"));
  const RunResult run =
      run_chipferry(sim.port, "1\n" + dir / "fw.hex" + "\n2\n" + dir / "down.s19" + "\n2\n" +
                                  dir / "down.bin\nq\n");
  EXPECT_EQ(run.code, 0);
  EXPECT_EQ(after_banner(without_cr(run.out)), repeat(kMenu + "Enter Filename\n", 3) + kMenu);
  EXPECT_TRUE(read_file<std::string>(dir / "down.bin") == block) << "the image loaded differs";
  const std::string text = read_file<std::string>(dir / "down.s19");
  const char* program = std::getenv("CHIPFERRY_E2E_PROGRAM");
  const bool windows = program != nullptr && std::string(program).find(".exe") != std::string::npos;
  EXPECT_EQ(count_of(text, "\r\n"), windows ? count_of(text, "\n") : 0);
  ASSERT_TRUE(srec_cat(dir / "down.s19 -Motorola -o " + dir / "back.bin -Binary"));
  EXPECT_TRUE(read_file<std::string>(dir / "back.bin") == block) << "the S-records differ";
  EXPECT_EQ(sim.stop(), 0);
}

TEST(Session, AnErrorFromTheProgrammerIsShownAndTheMenuComesBack) {
  TempDir dir;
  Sim sim(dir, {"--fault", "code=13"});
  const RunResult run = run_chipferry(sim.port, "6\nq\n");
  EXPECT_EQ(run.code, 0);
  EXPECT_EQ(after_banner(without_cr(run.out)), kMenu + "ROM doesn't match Buffer!\n" + kMenu);
  EXPECT_EQ(sim.stop(), 0);
  const std::string log = sim.log();
  // ESC hands the error back; the programmer's prompt brings the menu.
  EXPECT_EQ(log_bytes(log, '>'), kWakeUp + "R\rPE\rP\r" + kEsc + kRelease);
  EXPECT_EQ(log_bytes(log, '<'), "[C][C][0016][C][C][ERROR #13][C]");
}

// The key that ends the ROM list's wait is the first one the menu reads.
TEST(Session, TheRomListWaitsForOneKeyAndKeepsIt) {
  struct Case {
    const char* key;
    const char* then;   ///< pressed once the menu is back
    const char* shows;  ///< after the menu, or nothing
  };
  const Case cases[] = {
      {"x", "\rq\r", "Option x does not exist, please try again."},
      {"q", "\r", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key);
    TempDir dir;
    Sim sim(dir);
    Terminal t;
    t.start(sim.port);
    ASSERT_TRUE(t.see(kMenuEnd)) << t.screen;
    t.press("3\r");
    ASSERT_TRUE(t.see("Press any key to continue")) << t.screen;
    t.press(c.key);
    ASSERT_TRUE(t.see(kMenuEnd)) << t.screen;
    t.press(c.then);
    if (c.shows != nullptr) {
      ASSERT_TRUE(t.see(c.shows)) << t.screen;
    }
    EXPECT_EQ(t.finish(), 0) << t.screen;
    EXPECT_EQ(count_of(t.screen, "Select option:"), 2u) << t.screen;
    t.expect_settings_as_before();
    sim.stop();
    EXPECT_EQ(log_bytes(sim.log(), '>'), kWakeUp + kRelease);
  }
}

TEST(Session, EscAbandonsADownloadAndTheTerminalIsLeftAsItWas) {
  TempDir dir;
  Sim sim(dir, {"--pace", "--type", "27512"});
  Terminal t;
  t.start(sim.port);
  ASSERT_TRUE(t.see(kMenuEnd)) << t.screen;
  t.press("2\r");
  // 64 KiB take 34 s at 19,200 baud: press ESC once the data flows.
  ASSERT_TRUE(sim.wait_for_log(repeat(" FF", 16))) << sim.log();
  t.press(kEsc);
  ASSERT_TRUE(t.see(kMenuEnd, sim.limit_after_abandoned_download())) << t.screen;
  t.press("q\r");
  EXPECT_EQ(t.finish(), 0) << t.screen;
  EXPECT_EQ(t.screen.find("Enter Filename"), std::string::npos) << t.screen;
  t.expect_settings_as_before();

  EXPECT_EQ(sim.stop(), 0);
  const std::string log = sim.log();
  EXPECT_EQ(log_bytes(log, '>'), kWakeUp + "R\rS8\r" + kEsc + kRelease);
  EXPECT_LT(log_bytes(log, '<').size(), 65536u) << "the download ran to its end";
}

// The one-line burn: steps in order, no menu, no input read, the chip
// checked on the PC byte for byte. A 2716 keeps the programming pause at
// ten seconds.
TEST(Session, StepsBurnAndVerifyAChip) {
  TempDir dir;
  Sim sim(dir, {"--chip", "2716", "--type", "2764A"});
  const std::string block = image(2048, 9);
  write_file(dir / "fw.bin", block);
  auto p = start_chipferry(sim.port, {"--type", "2716", "--load", dir / "fw.bin", "--program",
                                      "--verify=" + dir / "fw.bin"});
  // Standard input stays open: a run of steps never waits on it. Its
  // pauses alone take 14 s, which a busy machine may stretch.
  EXPECT_EQ(p->wait(kStepsLimit), 0);
  EXPECT_EQ(after_banner(without_cr(p->out())),
            "Type:2716 Voltage:25.0V Short name:16\nROM matches " + dir / "fw.bin" + "\n");
  EXPECT_EQ(sim.stop(), 0);
  const std::string sent = log_bytes(sim.log(), '>');
  EXPECT_TRUE(sent.starts_with(kWakeUp + "R16\r" + kUploadStart + block)) << sent;
  EXPECT_TRUE(
      sent.ends_with("S1K 0000-07FF\rR\rPD\rP\rR\rP8\rP\rR\rS8\rS1K 0000-07FF\r" + kRelease))
      << sent;
}

TEST(Session, AWrongCommandLineEndsWith64WithoutOpeningThePort) {
  TempDir dir;
  // Were the port opened, this one would end the run with exit code 1.
  const RunResult run = run_chipferry(dir / "no-such-port", "", {"--dump", "--bogus"});
  EXPECT_EQ(run.code, 64);
  EXPECT_EQ(run.out, "");
}

// ---------------------------------------------------------------------------
// Chip operations on the simulated chip, this build only.

// Programming waits 5 ms a byte of the chip: a 2716 keeps each of these
// runs at about ten seconds.
TEST(ChipWork, ABlankEpromTakesAnImageThenComparesButIsNoLongerBlank) {
  TempDir dir;
  Sim sim(dir, {"--chip", "2716"});
  write_file(dir / "image.bin", image(2048, 7));
  const RunResult run =
      run_chipferry(sim.port, "9\n1\n" + dir / "image.bin" + "\n7\nPROGRAM\n6\n9\nq\n");
  EXPECT_EQ(run.code, 0);
  EXPECT_EQ(after_banner(without_cr(run.out)),
            kMenu + kMenu + "Enter Filename\n" + kMenu +
                "Type the word 'PROGRAM' to confirm this action\n" + kMenu + kMenu +
                "ROM not blank!\n" + kMenu);
  EXPECT_EQ(sim.stop(), 0);
  const std::string sent = log_bytes(sim.log(), '>');
  EXPECT_NE(sent.find("R\rPD\rP\rR\rPE\rP\rR\rPC\rP\r" + kEsc + kRelease), std::string::npos);
}

// A programming error ends a run of steps with the chip operation's code,
// once the error is handed back (ESC, the prompt) and before the next step.
TEST(ChipWork, AProgrammingErrorStopsTheStepsWithItsCode) {
  TempDir dir;
  Sim sim(dir, {"--chip", "2716", "--fault", "code=11"});
  write_file(dir / "image.bin", image(2048, 4));
  auto p = start_chipferry(sim.port, {"-l", dir / "image.bin", "-p", "-v", dir / "image.bin"});
  p->close_input();
  EXPECT_EQ(p->wait(kStepsLimit), 10);
  EXPECT_EQ(after_banner(without_cr(p->out())), "ROM couldn't be programmed!\n");
  EXPECT_EQ(sim.stop(), 0);
  const std::string log = sim.log();
  EXPECT_TRUE(log_bytes(log, '>').ends_with("R\rPD\rP\r" + kEsc + kRelease)) << log;
  EXPECT_TRUE(log_bytes(log, '<').ends_with("[ERROR #11][C]")) << log;
}

TEST(ChipWork, AnEpromCannotBeProgrammedOverCellsAlreadyCleared) {
  TempDir dir;
  // The chip holds 0x0F everywhere; the image wants bits it no longer has.
  write_file(dir / "chip.bin", std::string(2048, '\x0F'));
  write_file(dir / "image.bin", std::string(2048, '\xF0'));
  Sim sim(dir, {"--chip", "2716:" + dir / "chip.bin"});
  const RunResult run = run_chipferry(sim.port, "1\n" + dir / "image.bin" + "\n7\nprogram\nq\n");
  EXPECT_EQ(run.code, 0);
  EXPECT_EQ(after_banner(without_cr(run.out)),
            kMenu + "Enter Filename\n" + kMenu +
                "Type the word 'PROGRAM' to confirm this action\n"
                "ROM couldn't be programmed!\n" +
                kMenu);
  EXPECT_EQ(sim.stop(), 0);
  const std::string log = sim.log();
  EXPECT_NE(log_bytes(log, '>').find("R\rPD\rP\r" + kEsc + kRelease), std::string::npos);
  EXPECT_NE(log_bytes(log, '<').find("[ERROR #11][C]"), std::string::npos);
}

TEST(ChipWork, OnlyAnEepromIsErased) {
  struct Case {
    const char* chip;
    const char* out;   ///< after the first menu
    const char* sent;  ///< after the wake-up
  };
  const std::string confirm = "Type the word 'ERASE' to confirm this action\n";
  const Case cases[] = {
      // The blank check after it still fails: nothing was erased.
      {"2716", "Only EEPROMs can be erased with this function!\n", "P9\rP\r\x1bR\rPC\rP\r\x1b"},
      {"X2816A", "", "P9\rP\rR\rPC\rP\r"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.chip);
    TempDir dir;
    write_file(dir / "chip.bin", image(2048, 1));
    Sim sim(dir, {"--chip", std::string(c.chip) + ":" + dir / "chip.bin"});
    const RunResult run = run_chipferry(sim.port, "8\nERASE\n9\nq\n");
    EXPECT_EQ(run.code, 0);
    const std::string not_blank = std::string(c.chip) == "2716" ? "ROM not blank!\n" : "";
    EXPECT_EQ(after_banner(without_cr(run.out)),
              kMenu + confirm + c.out + kMenu + not_blank + kMenu);
    EXPECT_EQ(sim.stop(), 0);
    EXPECT_EQ(log_bytes(sim.log(), '>'), kWakeUp + c.sent + kRelease);
  }
}

// ---------------------------------------------------------------------------
// Transfers at a terminal and into files, this build only.

TEST(Transfers, EscAbandonsAnUploadAndOtherKeysAreDropped) {
  TempDir dir;
  Sim sim(dir, {"--pace"});
  write_file(dir / "image.bin", std::string(65536, '\x55'));
  Terminal t;
  t.start(sim.port);
  ASSERT_TRUE(t.see(kMenuEnd)) << t.screen;
  t.press("1\r");
  ASSERT_TRUE(t.see("Enter Filename")) << t.screen;
  t.press(dir / "image.bin" + "\r");
  ASSERT_TRUE(sim.wait_for_log(repeat(" 55", 16))) << sim.log();
  // A key other than ESC is read and dropped: the menu never sees it.
  t.press("x");
  std::this_thread::sleep_for(milliseconds{200});
  t.press(kEsc);
  ASSERT_TRUE(t.see(kMenuEnd)) << t.screen;
  t.press("q\r");
  EXPECT_EQ(t.finish(), 0) << t.screen;
  EXPECT_EQ(t.screen.find("Option x"), std::string::npos) << t.screen;
  t.expect_settings_as_before();

  EXPECT_EQ(sim.stop(), 0);
  const std::string sent = log_bytes(sim.log(), '>');
  const std::string head = kWakeUp + kUploadStart;
  ASSERT_EQ(sent.rfind(head, 0), 0u);
  const size_t data_end = sent.find_first_not_of('\x55', head.size());
  ASSERT_NE(data_end, std::string::npos);
  EXPECT_LT(data_end - head.size(), 65536u) << "the upload ran to its end";
  // No checksum query: ESC, then the release at the end of the run.
  EXPECT_EQ(sent.substr(data_end), kEsc + kRelease);
}

// An abandoned download leaves nothing behind that spoils the next one.
TEST(Transfers, ADownloadAfterAnAbandonedOneBringsTheWholeImage) {
  TempDir dir;
  // 8 KiB take over 4 s at 19,200 baud: time enough to abandon the first.
  std::string chip = image(8192, 5);
  std::fill_n(chip.begin(), 64, '\x11');
  write_file(dir / "chip.bin", chip);
  Sim sim(dir, {"--pace", "--chip", "2764:" + dir / "chip.bin"});
  Terminal t;
  t.start(sim.port);
  ASSERT_TRUE(t.see(kMenuEnd)) << t.screen;
  t.press("5\r");
  ASSERT_TRUE(t.see(kMenuEnd)) << t.screen;
  t.press("2\r");
  ASSERT_TRUE(sim.wait_for_log(repeat(" 11", 16))) << sim.log();
  t.press(kEsc);
  ASSERT_TRUE(t.see(kMenuEnd, sim.limit_after_abandoned_download())) << t.screen;
  t.press("2\r");
  ASSERT_TRUE(t.see("Enter Filename")) << t.screen;
  t.press(dir / "saved.bin" + "\r");
  ASSERT_TRUE(t.see(kMenuEnd)) << t.screen;
  // Back at the menu, the terminal is as it was: echo and line editing.
  t.expect_settings_as_before();
  t.press("q\r");
  EXPECT_EQ(t.finish(), 0) << t.screen;
  EXPECT_TRUE(read_file<std::string>(dir / "saved.bin") == chip) << "the saved image differs";
  t.expect_settings_as_before();
  EXPECT_EQ(sim.stop(), 0);
  const std::string sent = log_bytes(sim.log(), '>');
  EXPECT_NE(sent.find("S8\r\x1bR\rS8\r"), std::string::npos);
}

// However a transfer ends the run, the terminal gets its settings back.
TEST(Transfers, TheTerminalIsRestoredWhenTheRunEndsMidTransfer) {
  enum class End { sim_stopped, ctrl_c, fault };
  struct Case {
    const char* name;
    std::vector<std::string> options;
    End end;
    int code;
    const char* shows;
  };
  const Case cases[] = {
      {"programmer gone", {"--pace", "--type", "27512"}, End::sim_stopped, 6, "No Response"},
      {"Ctrl+C", {"--pace", "--type", "27512"}, End::ctrl_c, 128 + SIGINT, nullptr},
      {"bad preamble", {"--fault", "preamble=1"}, End::fault, 6, "Data preamble invalid"},
      {"wrong checksum",
       {"--fault", "checksum"},
       End::fault,
       7,
       "Checksum wrong! f801 does not equal f800"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    Sim sim(dir, c.options);
    Terminal t;
    t.start(sim.port);
    ASSERT_TRUE(t.see(kMenuEnd)) << t.screen;
    t.press("2\r");
    if (c.end != End::fault) {
      ASSERT_TRUE(sim.wait_for_log(repeat(" FF", 16))) << sim.log();
    }
    if (c.end == End::sim_stopped) sim.stop();
    if (c.end == End::ctrl_c) t.press("\x03");
    EXPECT_EQ(t.finish(), c.code) << t.screen;
    if (c.shows != nullptr) {
      EXPECT_NE(t.screen.find(c.shows), std::string::npos) << t.screen;
    }
    EXPECT_EQ(t.screen.find("Enter Filename"), std::string::npos) << t.screen;
    t.expect_settings_as_before();
  }
}

TEST(Transfers, ASavedImageReplacesAnOlderFileWhole) {
  TempDir dir;
  const std::string chip = image(2048, 11);
  write_file(dir / "chip.bin", chip);
  Sim sim(dir, {"--chip", "2716:" + dir / "chip.bin"});
  // Longer than the image, so a write over it in place would leave a tail.
  write_file(dir / "saved.bin", std::string(8192, 'x'));
  ASSERT_EQ(chmod((dir / "saved.bin").c_str(), 0640), 0);

  const RunResult run = run_chipferry(sim.port, "5\n2\n" + dir / "saved.bin" + "\nq\n");
  EXPECT_EQ(run.code, 0);
  EXPECT_EQ(after_banner(without_cr(run.out)), kMenu + kMenu + "Enter Filename\n" + kMenu);
  EXPECT_TRUE(read_file<std::string>(dir / "saved.bin") == chip) << "the saved image differs";
  struct stat info {};
  ASSERT_EQ(stat((dir / "saved.bin").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
  EXPECT_EQ(dir.entries(), (std::vector<std::string>{"chip.bin", "saved.bin", "sim.log"}));
}

}  // namespace
}  // namespace chipferry::test::e2e
