// The block transfers and the checksum query, through menu options 1 and 2
// against the simulated programmer.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "app/program.h"
#include "link/port.h"
#include "tests/support/bench.h"
#include "tests/support/transfer_scene.h"
#include "transfer/block.h"

namespace chipferry::test {
namespace {

using Kind = WireEvent::Kind;

TEST(RoundTrip, EverySizeComesBackByteForByte) {
  // The programmer's time to sum a block: 700 ms and 1 ms a whole 16 KiB.
  const uint32_t kChecksumPauses[kSizeClassCount] = {700, 700, 700, 701, 702, 704};
  for (uint8_t k = 0; k < kSizeClassCount; ++k) {
    const int32_t length = capacity_of(k);
    SCOPED_TRACE(length);
    Bench b;
    TempDir dir;
    const Bytes image = pattern(static_cast<size_t>(length), k);
    write_file(dir / "in.bin", image);
    b.programmer.selected = type_of_class(k);

    EXPECT_EQ(b.run("1\n" + dir / "in.bin" + "\n2\n" + dir / "out.bin" + "\nq\n"), 0);
    EXPECT_EQ(b.out_after_banner(),
              kMenu + "Enter Filename\n" + kMenu + "Enter Filename\n" + kMenu);
    EXPECT_EQ(read_file(dir / "out.bin"), image);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), b.programmer.device_buffer.begin()));
    EXPECT_EQ(b.programmer.uploaded_bytes, static_cast<size_t>(length));
    EXPECT_EQ(b.wire(), kWakeUp + upload_bytes(image) + checksum_query(length) + "R\r" + "S8\r" +
                            checksum_query(length) + kRelease);
    // The wake-up. Upload: after the command, before and in the break, the
    // query's pause. Download: after the type query, one failed attempt for
    // the rest of its answer, the query's pause. The release.
    const uint32_t check = kChecksumPauses[k];
    Sleeps pauses{50, 100, 200, 500, check, 100, 75, check, 100, 100};
    // A full buffer leaves CR and LF ahead of the prompt: two more attempts.
    if (length == 65536) pauses.insert(pauses.begin() + 7, 2, 75);
    EXPECT_EQ(b.clock.sleeps, pauses);
    EXPECT_FALSE(b.console.key_mode);
  }
}

TEST(RoundTrip, BreakFollowsTheLastByteAndLastsHalfASecond) {
  Bench b;
  TempDir dir;
  write_file(dir / "in.bin", pattern(2048, 1));
  EXPECT_EQ(b.run("1\n" + dir / "in.bin" + "\nq\n"), 0);
  const auto& e = b.serial.events;
  const auto on =
      std::find_if(e.begin(), e.end(), [](auto& w) { return w.kind == Kind::break_on; });
  ASSERT_NE(on, e.end());
  ASSERT_EQ((on + 1)->kind, Kind::break_off);
  // 200 ms of a quiet line after the last byte, then 500 ms of break.
  EXPECT_EQ(on->at_ms, (on - 1)->at_ms + 200);
  EXPECT_EQ((on + 1)->at_ms, on->at_ms + 500);
}

TEST(Checksum, SumsWrapAtSixteenBits) {
  Bench b;
  Session& s = *b.session;
  s.host_buffer.fill(0xFF);
  EXPECT_EQ(sum_block(s, 2048), 0xF800);
  EXPECT_EQ(sum_block(s, 65536), 0x0000);
  s.host_buffer[2048] = 0x01;  // beyond the block
  EXPECT_EQ(sum_block(s, 2048), 0xF800);
}

TEST(Checksum, RepliesAreReadAndJudged) {
  struct Case {
    const char* reply;  // everything after the query, as the programmer sends it
    uint16_t pc_sum;
    Next::Kind end;
    int code;
    const char* printed;
  };
  const Case cases[] = {
      {"[1a2b ][C]", 0x1A2B, Next::Kind::carry_on, 0, ""},
      {"[1A2B ][C]", 0x1A2C, Next::Kind::end, 7, "Checksum wrong! 1a2b does not equal 1a2c\n"},
      {"[ 01f ][C]", 0x001F, Next::Kind::carry_on, 0, ""},
      {"[0x1F ][C]", 0x001F, Next::Kind::carry_on, 0, ""},
      {"[+01f ][C]", 0x001F, Next::Kind::carry_on, 0, ""},
      // No number: nothing is confirmed, whatever the PC's sum.
      {"[     ][C]", 0x0000, Next::Kind::end, 7, "Invalid Response\n"},
      {"[zz12 ][C]", 0x0000, Next::Kind::end, 7, "Invalid Response\n"},
      {"[1A2B]\r[C]", 0x1A2B, Next::Kind::end, 7, "Invalid Response\n"},
      {"[1A2B  [C]", 0x1A2B, Next::Kind::end, 7, "Invalid Response\n"},
      {"[1A2B ]", 0x1A2B, Next::Kind::end, 6, "No Response\n"},
      {"", 0x1A2B, Next::Kind::end, 6, "No Response\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply);
    Bench b;
    b.programmer.inject(c.reply, 0);
    const Next r = check_block(b.opened(), 4096, c.pc_sum);
    EXPECT_EQ(r.kind, c.end);
    EXPECT_EQ(r.exit_code, c.code);
    EXPECT_EQ(b.console.out, c.printed);
    EXPECT_EQ(b.wire(), "S1K 0000-0FFF\r");
    EXPECT_EQ(b.clock.sleeps.front(), 700u);  // the programmer sums the block
  }
}

using Download = WithBench;

// Option 2 against a 2716 (2,048 bytes), with one deviation each.
TEST_F(Download, EveryEndOfTheReceivedStream) {
  const std::string saved = std::string("Enter Filename\n") + kMenu;
  auto aborted = [](int received) {
    return "Transmission has been aborted, " + std::to_string(received) +
           " bytes has been received\n";
  };
  struct Case {
    const char* name;
    void (*arrange)(sim::Programmer&);
    int code;
    std::string printed;  // after the menu
  };
  const Case cases[] = {
      {"2 zeros", [](sim::Programmer& p) { p.faults.download_preamble_zeros = 2; }, 0, saved},
      {"200 zeros", [](sim::Programmer& p) { p.faults.download_preamble_zeros = 200; }, 0, saved},
      {"1 zero", [](sim::Programmer& p) { p.faults.download_preamble_zeros = 1; }, 6,
       "Data preamble invalid\n"},
      {"201 zeros", [](sim::Programmer& p) { p.faults.download_preamble_zeros = 201; }, 6,
       "Data preamble invalid\n"},
      {"other bytes skipped",
       [](sim::Programmer& p) { p.faults.download_preamble = std::string("\r\0\n\0\r\xFF", 6); }, 0,
       saved},
      {"other bytes not counted",
       [](sim::Programmer& p) { p.faults.download_preamble = std::string("\r\0\n\r\xFF", 5); }, 6,
       "Data preamble invalid\n"},
      {"surplus 249",
       [](sim::Programmer& p) { p.faults.download_surplus = std::string(244, '\0'); }, 0, saved},
      {"surplus 250",
       [](sim::Programmer& p) { p.faults.download_surplus = std::string(245, '\0'); }, 6,
       aborted(2048 + 250)},
      {"non-zero at L", [](sim::Programmer& p) { p.faults.download_surplus = "\x01"; }, 0, saved},
      {"non-zero at L+1 and L+2",
       [](sim::Programmer& p) { p.faults.download_surplus = std::string("\0\x01\x02", 3); }, 0,
       aborted(2056) + aborted(2056) + saved},
      {"no trailer", [](sim::Programmer& p) { p.faults.download_trailer = ""; }, 6,
       "No Response\n"},
      {"wrong trailer", [](sim::Programmer& p) { p.faults.download_trailer = "\r\n[X]"; }, 6,
       "No Response\n"},
      {"fewer than 5 bytes",
       [](sim::Programmer& p) {
         p.faults.download_length = 0;
         p.faults.download_trailer = "C]";
       },
       6, "No Response\n"},
      {"25 empty reads spread",
       [](sim::Programmer& p) {
         p.faults.download_gaps = {{100, 10 * 60 + 1}, {500, 15 * 60 + 1}};
       },
       0, saved},
      {"26th empty read ends it",
       [](sim::Programmer& p) {
         p.faults.download_gaps = {{100, 10 * 60 + 1}, {500, 16 * 60 + 1}};
       },
       6, "No Response\n"},
      {"full buffer, prompt consumed",
       [](sim::Programmer& p) {
         // Beyond the block only zeros, which the surplus scan passes over.
         std::fill(p.device_buffer.begin() + 2048, p.device_buffer.end(), uint8_t{0});
         p.faults.download_length = 65536;
       },
       0, saved},
      {"full buffer, non-zero surplus",
       [](sim::Programmer& p) {
         std::fill(p.device_buffer.begin() + 2048, p.device_buffer.end(), uint8_t{0});
         p.device_buffer[2048] = 1;  // L: never looked at
         p.device_buffer[2049] = 1;
         p.device_buffer[65535] = 1;
         p.faults.download_length = 65536;
       },
       0, aborted(65536) + aborted(65536) + saved},
      {"full buffer, no prompt",
       [](sim::Programmer& p) {
         p.selected = type_of_class(5);
         p.faults.download_trailer = "";
       },
       6, "No Response\n"},
      {"checksum differs", [](sim::Programmer& p) { p.faults.checksum_reply = "[1234 ][C]"; }, 7,
       "Checksum wrong! 1234 does not equal "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bench bench;
    TempDir dir;
    const Bytes device = pattern(65536, 7);
    std::copy(device.begin(), device.end(), bench.programmer.device_buffer.begin());
    c.arrange(bench.programmer);
    EXPECT_EQ(bench.run("2\n" + dir / "out.bin" + "\nq\n"), c.code);
    const std::string out = bench.out_after_banner();
    EXPECT_EQ(out.substr(0, std::min(out.size(), kMenu.size() + c.printed.size())),
              kMenu + c.printed);
    if (c.code == 0) {
      EXPECT_EQ(read_file(dir / "out.bin"), Bytes(device.begin(), device.begin() + 2048));
    } else {
      EXPECT_EQ(out.find("Enter Filename"), std::string::npos);
      EXPECT_TRUE(dir.entries().empty());
    }
    EXPECT_FALSE(bench.console.key_mode);
  }
}

// A device whose failing read still reports a byte: the seam does not
// promise what the count of a failed call holds.
class FailingReadWithCount : public SimSerial {
 public:
  using SimSerial::SimSerial;
  ByteIo read_byte(uint8_t& byte) override {
    if (++reads_ == 1000) return {false, 1};  // well inside the data
    return SimSerial::read_byte(byte);
  }

 private:
  int reads_ = 0;
};

TEST_F(Download, AFailedReadBringsNoByteWhateverItsCount) {
  TempDir dir;
  const Bytes device = pattern(2048, 9);
  std::copy(device.begin(), device.end(), b.programmer.device_buffer.begin());
  b.programmer.selected = type_of_class(0);
  FailingReadWithCount serial(b.programmer, b.clock);
  const auto s = std::make_unique<Session>(serial, b.console, b.clock);
  b.console.input = "2\n" + dir / "out.bin" + "\nq\n";
  EXPECT_EQ(run_program(*s), 0);
  EXPECT_EQ(b.out_after_banner(), kMenu + "Couldn't read Port COM1\nEnter Filename\n" + kMenu);
  EXPECT_EQ(read_file(dir / "out.bin"), device);
}

TEST_F(Download, ShortBlockKeepsTheStaleBytesInTheChecksumAndTheFile) {
  TempDir dir;
  const Bytes device = pattern(2048, 3);
  std::copy(device.begin(), device.end(), b.programmer.device_buffer.begin());
  b.session->host_buffer.fill(0x11);
  b.programmer.faults.download_length = 1000;
  // What the PC holds: 1,000 bytes, the trailer, then its old contents.
  Bytes expected(device.begin(), device.begin() + 1000);
  for (char c : std::string("\r\n[C]")) expected.push_back(static_cast<uint8_t>(c));
  expected.resize(2048, 0x11);
  b.programmer.faults.checksum_reply = checksum_reply(text_of(expected)) + "[C]";

  EXPECT_EQ(b.run("2\n" + dir / "out.bin" + "\nq\n"), 0);
  EXPECT_EQ(read_file(dir / "out.bin"), expected);
}

TEST_F(Download, UnknownTypeCodeKeepsTheEarlierLength) {
  TempDir dir;
  b.session->transfer_length = 4096;
  b.programmer.faults.type_code = "0000";
  b.programmer.faults.download_length = 4096;
  EXPECT_EQ(b.run("2\n" + dir / "out.bin" + "\nq\n"), 0);
  EXPECT_EQ(read_file(dir / "out.bin").size(), 4096u);
  EXPECT_NE(b.wire().find(checksum_query(4096)), std::string::npos);
}

using Upload = WithBenchAndFolder;

TEST_F(Upload, NoPromptAfterTheBreakEndsTheRun) {
  write_file(dir / "in.bin", pattern(2048, 2));
  b.programmer.faults.upload_unanswered = true;
  EXPECT_EQ(b.run("1\n" + dir / "in.bin" + "\nq\n"), 6);
  EXPECT_EQ(b.out_after_banner(), kMenu + "Enter Filename\n" + "No Response\n");
  EXPECT_EQ(b.wire().find("S1K"), std::string::npos);
  EXPECT_FALSE(b.console.key_mode);
}

TEST_F(Upload, ChecksumFailuresEndTheRun) {
  const struct {
    const char* reply;
    int code;
    const char* printed;
  } cases[] = {
      {"[0000 ][C]", 7, "Checksum wrong! 0000 does not equal f800\n"},
      {"[F800]\r[C]", 7, "Invalid Response\n"},
      {"[F800 ]", 6, "No Response\n"},
  };
  write_file(dir / "in.bin", Bytes(2048, 0xFF));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reply);
    Bench bench;
    bench.programmer.faults.checksum_reply = c.reply;
    EXPECT_EQ(bench.run("1\n" + dir / "in.bin" + "\nq\n"), c.code);
    EXPECT_EQ(bench.out_after_banner(), kMenu + "Enter Filename\n" + c.printed);
  }
}

// 64 KiB of 0xFF, the commonest image there is, sums to 0000: a reply
// without a digit must not pass for that sum.
TEST_F(Upload, AReplyWithoutANumberConfirmsNoImage) {
  write_file(dir / "in.bin", Bytes(65536, 0xFF));
  b.programmer.faults.checksum_reply = "[     ][C]";
  EXPECT_EQ(b.run("1\n" + dir / "in.bin" + "\nq\n"), 7);
  EXPECT_EQ(b.out_after_banner(), kMenu + "Enter Filename\n" + "Invalid Response\n");
}

TEST_F(Upload, UnwrittenBytesGoAgainAndCountOnce) {
  const Bytes image = pattern(2048, 4);
  write_file(dir / "in.bin", image);
  // From the fifth data byte: one failed call, then three writes held back.
  b.serial.faults_from_byte = kWakeUp.size() + 5 + 14 + 4;
  b.serial.failing_writes = 1;
  b.serial.held_writes = 3;
  // And the last bytes take a while to leave.
  b.serial.undrained_waits = 3;
  EXPECT_EQ(b.run("1\n" + dir / "in.bin" + "\nq\n"), 0);
  EXPECT_EQ(b.out_after_banner(),
            kMenu + "Enter Filename\n" + "Couldn't write to Port COM1\n" + kMenu);
  EXPECT_EQ(b.wire(), kWakeUp + upload_bytes(image) + checksum_query(2048) + kRelease);
  EXPECT_TRUE(std::equal(image.begin(), image.end(), b.programmer.device_buffer.begin()));
  EXPECT_EQ(b.console.key_polls, 2048 + 4 + 3);
  // The failed call takes the byte time-out; the break's two pauses and
  // the checksum's follow.
  EXPECT_EQ(b.clock.sleeps, run_pauses({100, 60, 200, 500, 700}));
}

// The abort: break at once, ESC after it, and the menu after the prompt.
void expect_upload_abandoned(Bench& b, const Bytes& sent, uint64_t held_ms) {
  EXPECT_EQ(b.out_after_banner(), kMenu + "Enter Filename\n" + kMenu);
  EXPECT_EQ(b.wire(), kWakeUp + upload_bytes(sent) + kEsc + kRelease);
  // After the command, the break, the programmer's time to stop.
  EXPECT_EQ(b.clock.sleeps, run_pauses({100, 500, 500}));
  EXPECT_EQ(b.serial.discards, 1);
  const auto& e = b.serial.events;
  const auto on =
      std::find_if(e.begin(), e.end(), [](auto& w) { return w.kind == Kind::break_on; });
  ASSERT_NE(on, e.end());
  EXPECT_EQ(on->at_ms, (on - 1)->at_ms + held_ms);
  EXPECT_EQ((on + 1)->kind, Kind::break_off);
  EXPECT_EQ((on + 1)->at_ms, on->at_ms + 500);
  EXPECT_EQ((on + 2)->byte, 0x1B);
  EXPECT_EQ((on + 2)->at_ms, on->at_ms + 500);
  EXPECT_FALSE(b.console.key_mode);
  EXPECT_EQ(b.console.key_mode_changes, 2);
}

TEST_F(Upload, EscAbandonsBetweenBytes) {
  const Bytes image = pattern(4096, 5);
  write_file(dir / "in.bin", image);
  b.console.keys.push_back({0x1B, 0, 999});  // read after the 1,000th byte
  EXPECT_EQ(b.run("1\n" + dir / "in.bin" + "\nq\n"), 0);
  expect_upload_abandoned(b, Bytes(image.begin(), image.begin() + 1000), 0);
  EXPECT_EQ(b.programmer.uploaded_bytes, 1000u);
}

TEST_F(Upload, EscAbandonsWhileTheLastBytesAreHeld) {
  const Bytes image = pattern(2048, 6);
  write_file(dir / "in.bin", image);
  b.serial.undrained_waits = 1000;
  b.console.keys.push_back({0x1B, 0, 2048 + 5});  // the sixth 50 ms drain wait
  EXPECT_EQ(b.run("1\n" + dir / "in.bin" + "\nq\n"), 0);
  expect_upload_abandoned(b, image, 6 * 50);
}

TEST_F(Download, EscAbandonsInTheDataPhase) {
  b.console.keys.push_back({0x1B, 0, 500});
  EXPECT_EQ(b.run("2\nq\n"), 0);
  EXPECT_EQ(b.out_after_banner(), kMenu + kMenu);
  EXPECT_EQ(b.wire(), kWakeUp + "R\r" + "S8\r" + kEsc + kRelease);
  // After the type query and its rest, two seconds for the programmer to stop.
  EXPECT_EQ(b.clock.sleeps, run_pauses({100, 75, 2000}));
  EXPECT_FALSE(b.console.key_mode);
}

TEST_F(Download, EscAbandonsAPreambleThatNeverEnds) {
  b.programmer.faults.download_preamble = std::string(5, '\0');
  b.programmer.faults.download_length = 0;
  b.programmer.faults.download_trailer = "";
  b.console.keys.push_back({0x1B, 60000});  // a minute of silence first
  EXPECT_EQ(b.run("2\nq\n"), 0);
  EXPECT_EQ(b.out_after_banner(), kMenu + kMenu);
  EXPECT_EQ(b.wire(), kWakeUp + "R\r" + "S8\r" + kEsc + kRelease);
  // Before the data has begun the programmer takes five seconds to stop.
  EXPECT_EQ(b.clock.sleeps, run_pauses({100, 75, 5000}));
  EXPECT_GE(b.clock.now, 60000u);
}

using Transfers = WithBenchAndFolder;

TEST_F(Transfers, OtherKeysAreDroppedAndChangeNothing) {
  const Bytes image = pattern(2048, 8);
  write_file(dir / "in.bin", image);
  b.programmer.selected = type_of_class(0);
  b.console.keys.push_back({'q', 0, 10});          // during the upload
  b.console.keys.push_back({'x', 0, 2048 + 100});  // during the download
  EXPECT_EQ(b.run("1\n" + dir / "in.bin" + "\n2\n" + dir / "out.bin" + "\nq\n"), 0);
  EXPECT_TRUE(b.console.keys.empty());
  EXPECT_EQ(b.out_after_banner(), kMenu + "Enter Filename\n" + kMenu + "Enter Filename\n" + kMenu);
  EXPECT_EQ(read_file(dir / "out.bin"), image);
}

}  // namespace
}  // namespace chipferry::test
