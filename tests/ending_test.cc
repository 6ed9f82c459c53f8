// Runs that end before their time: an interrupt, a standard output whose
// reader has gone, a port whose device has gone. Each must leave the
// programmer as a normal end leaves it, or, with the device gone, touch
// it no more.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/bench.h"
#include "tests/support/transfer_scene.h"

namespace chipferry::test {
namespace {

using Kind = WireEvent::Kind;

TEST(EndingEarly, AnInterruptAtTheMenuReleasesTheProgrammerAndEndsAsTheSignal) {
  const struct {
    Stop why;
    int status;
  } cases[] = {{Stop::interrupt, 130}, {Stop::terminate, 143}, {Stop::hang_up, 129}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    Bench b;
    // It interrupts the menu's first read; the lines typed are never acted on.
    b.console.stop = ScriptedConsole::StopAt{c.why, 0, 1};
    EXPECT_EQ(b.run("5\nq\n"), c.status);
    EXPECT_EQ(b.out_after_banner(), kMenu);
    EXPECT_EQ(b.console.lines_read, 0);
    EXPECT_EQ(b.wire(), kWakeUp + kRelease);
    EXPECT_EQ(b.clock.sleeps, run_pauses());
    EXPECT_EQ(b.serial.events.back().kind, Kind::closed);
  }
}

// The closing bytes must never reach the programmer as data: the upload is
// ended by its break first, exactly as ESC ends it. A download gets its ESC.
TEST(EndingEarly, ATransferIsAbandonedAsEscAbandonsIt) {
  TempDir dir;
  Bench up;
  const Bytes image = pattern(4096, 7);
  write_file(dir / "in.bin", image);
  // The 1,001st data byte is held back 60 ms, and the request comes meanwhile.
  up.serial.faults_from_byte = kWakeUp.size() + kUploadStart.size() + 1000;
  up.serial.held_writes = 1;
  up.console.stop = ScriptedConsole::StopAt{Stop::terminate, 200};
  EXPECT_EQ(up.run("1\n" + dir / "in.bin" + "\nq\n"), 143);
  EXPECT_EQ(up.out_after_banner(), kMenu + "Enter Filename\n");
  EXPECT_EQ(up.wire(),
            kWakeUp + upload_bytes(Bytes(image.begin(), image.begin() + 1000)) + kEsc + kRelease);
  // After the upload command, the break, and the programmer's time to stop.
  EXPECT_EQ(up.clock.sleeps, run_pauses({100, 500, 500}));
  EXPECT_EQ(up.serial.discards, 1);
  const auto& e = up.serial.events;
  const auto on =
      std::find_if(e.begin(), e.end(), [](const auto& w) { return w.kind == Kind::break_on; });
  ASSERT_NE(on, e.end());
  EXPECT_EQ((on + 2)->byte, 0x1B);
  // The programmer took the data, then the release as commands.
  EXPECT_EQ(up.programmer.uploaded_bytes, 1000u);
  EXPECT_EQ(up.programmer.commands.back(), "SC");
  EXPECT_FALSE(up.console.key_mode);

  Bench down;
  // The block has come by 225 ms; the data phase then ends on its 26 empty
  // reads of 60 ms each, and the request comes among them.
  down.console.stop = ScriptedConsole::StopAt{Stop::hang_up, 500};
  EXPECT_EQ(down.run("2\nq\n"), 129);
  EXPECT_EQ(down.wire(), kWakeUp + "R\r" + "S8\r" + kEsc + kRelease);
  // After the type query, its rest, and the programmer's two seconds to stop.
  EXPECT_EQ(down.clock.sleeps, run_pauses({100, 75, 2000}));
}

TEST(EndingEarly, AChipOperationsPauseEndsWithinALook) {
  Bench b;
  b.programmer.selected = find_rom_type("27512", NameColumn::full);
  b.programmer.durations.program = 400000;
  constexpr uint64_t kAt = 10000;
  b.console.stop = ScriptedConsole::StopAt{Stop::interrupt, kAt};
  EXPECT_EQ(b.run("7\nPROGRAM\n"), 130);
  // Still one pause of its whole length on the record: 5 ms a byte.
  EXPECT_EQ(std::count(b.clock.sleeps.begin(), b.clock.sleeps.end(), 327680u), 1);
  // Seen within a 50 ms look, then the release's two pauses.
  EXPECT_LE(b.clock.now, kAt + 50 + 2 * 100);
  const std::string wire = b.wire();
  EXPECT_EQ(wire.substr(wire.size() - 6), "P\r" + kRelease);
}

TEST(EndingEarly, StandardOutputGoneEndsTheRunOnceTheProgrammerIsReleased) {
  Bench b;
  b.console.writes_before_output_gone = 1;  // the banner; the menu finds the reader gone
  EXPECT_EQ(b.run("5\nq\n"), 141);
  EXPECT_EQ(b.out_after_banner(), "");
  EXPECT_EQ(b.console.lines_read, 0);
  EXPECT_EQ(b.wire(), kWakeUp + kRelease);
  EXPECT_EQ(b.clock.sleeps, run_pauses());
}

// A pulled adapter: one failure line, the reason on standard error, "No
// Response" within a second, and the port left alone but for its closing.
// Found only by the release, after q, it ends the run so too: a quit
// that hands the programmer to nobody is no success.
TEST(EndingEarly, ADeviceThatHasGoneEndsTheRunAtTheFirstCallThatShowsIt) {
  TempDir dir;
  write_file(dir / "in.bin", pattern(2048, 8));
  const struct {
    const char* where;
    std::string input;
    std::function<void(Bench&)> fault;
    std::string out;
  } cases[] = {
      {"a wait", "5\nq\n", [](Bench& b) { b.programmer.faults.hang_up_at_command = "R"; },
       "Couldn't read Port COM1\n"},
      {"a download's preamble", "2\nq\n",
       [](Bench& b) { b.programmer.faults.hang_up_at_command = "S8"; },
       "Couldn't read Port COM1\n"},
      {"an upload", "1\n" + dir / "in.bin" + "\nq\n",
       [](Bench& b) { b.programmer.faults.hang_up_after_upload_bytes = 100; },
       "Enter Filename\nCouldn't write to Port COM1\n"},
      // The wake-up is 13 writes and 6 reads; the release's ESC is the next.
      {"the release", "q\n", [](Bench& b) { b.serial.hang_up_at_call = 20; },
       "Couldn't write to Port COM1\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.where);
    Bench b;
    c.fault(b);
    EXPECT_EQ(b.run(c.input), 6);
    EXPECT_EQ(b.out_after_banner(), kMenu + c.out + "No Response\n");
    EXPECT_EQ(b.console.diagnostics,
              std::vector<std::string>{"COM1 went away: Input/output error; is the cable or the "
                                       "USB adapter still plugged in?"});
    EXPECT_EQ(b.serial.calls_after_hang_up, 0);
    const auto& e = b.serial.events;
    ASSERT_GE(e.size(), 2u);
    EXPECT_EQ(e.back().kind, Kind::closed);
    // From the last byte the line took to the closing.
    EXPECT_LT(e.back().at_ms - e[e.size() - 2].at_ms, 1000u);
    EXPECT_EQ(b.wire().find(kRelease), std::string::npos);
  }
}

}  // namespace
}  // namespace chipferry::test
