// A programmer left in an upload by a run that ended without its release
// (killed, crashed, its adapter pulled) takes every later byte as data, the
// next run's wake-up among them. The port keeps a mark while an upload is
// under way, and the next run that finds it abandons the upload first.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/program.h"
#include "tests/support/bench.h"
#include "tests/support/transfer_scene.h"

namespace chipferry::test {
namespace {

using Kind = WireEvent::Kind;
using Change = SimSerial::MarkChange;

// Each change of the mark: on or off, after how many bytes of the wire.
std::vector<std::pair<bool, size_t>> changes(const Bench& b) {
  std::vector<std::pair<bool, size_t>> seen;
  for (const Change& c : b.serial.mark_changes) seen.emplace_back(c.on, c.bytes_written);
  return seen;
}

// From the upload command to the break that ends the upload, however it
// ends; a device that has gone keeps it, for its programmer is still in
// the upload, even when it went with the last byte and the break with it.
TEST(LeftUpload, TheMarkStandsFromTheUploadCommandToTheBreak) {
  TempDir dir;
  write_file(dir / "in.bin", pattern(2048, 3));
  const size_t before = kWakeUp.size();
  const size_t data = before + kUploadStart.size();
  const struct {
    const char* name;
    std::function<void(Bench&)> trouble;
    int code;
    std::vector<std::pair<bool, size_t>> changes;
  } cases[] = {
      {"completed", [](Bench&) {}, 0, {{true, before}, {false, data + 2048}}},
      // The abandon's ESC has gone before the mark goes.
      {"ESC",
       [](Bench& b) {
         b.console.keys.push_back({0x1B, 0, 999});
       },
       0,
       {{true, before}, {false, data + 1000 + 1}}},
      {"interrupted",
       [data](Bench& b) {
         b.serial.faults_from_byte = data + 1000;
         b.serial.held_writes = 1;
         // Held back 60 ms, from 150 ms on; the request comes meanwhile.
         b.console.stop = ScriptedConsole::StopAt{Stop::interrupt, 200};
       },
       130,
       {{true, before}, {false, data + 1000 + 1}}},
      {"gone",
       [](Bench& b) { b.programmer.faults.hang_up_after_upload_bytes = 1000; },
       6,
       {{true, before}}},
      {"gone at the end",
       [](Bench& b) { b.programmer.faults.hang_up_after_upload_bytes = 2048; },
       6,
       {{true, before}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bench b;
    c.trouble(b);
    EXPECT_EQ(b.run("1\n" + dir / "in.bin" + "\nq\n"), c.code);
    EXPECT_EQ(changes(b), c.changes);
    EXPECT_EQ(b.serial.upload_mark, c.code == 6);
  }
}

// The programmer as a killed run left it: woken, and 100 bytes into an
// upload.
void leave_in_upload(sim::Programmer& p) {
  p.receive(0x11, 0);
  for (char c : kUploadStart + std::string(100, 'D')) p.receive(static_cast<uint8_t>(c), 0);
  p.drop_output();
}

TEST(LeftUpload, TheNextRunAbandonsItBeforeTheWakeUp) {
  for (const bool in_upload : {true, false}) {
    // A stale mark (the programmer was switched off and on since) costs
    // the abandon and nothing else.
    SCOPED_TRACE(in_upload ? "in the upload" : "a stale mark");
    Bench b;
    if (in_upload) leave_in_upload(b.programmer);
    b.serial.upload_mark = true;
    // A blank check after: every prompt answers what it should.
    EXPECT_EQ(b.run("9\nq\n"), 0);
    EXPECT_EQ(b.console.out, kBanner + kMenu + kMenu);
    // A break, ESC, and the programmer's time to stop, as ESC abandons an
    // upload; the prompt the break brings is dropped, and the wake-up
    // follows after the one read that finds the line silent.
    EXPECT_EQ(b.wire(), kEsc + kWakeUp + "R\rPC\rP\r" + kRelease);
    Sleeps pauses{500, 500};
    const Sleeps blank_check_run = run_pauses({100, 75, 100, 500});
    pauses.insert(pauses.end(), blank_check_run.begin(), blank_check_run.end());
    EXPECT_EQ(b.clock.sleeps, pauses);
    const auto& e = b.serial.events;
    ASSERT_GE(e.size(), 4u);
    EXPECT_EQ(e[0].kind, Kind::break_on);
    EXPECT_EQ(e[1].kind, Kind::break_off);
    EXPECT_EQ(e[1].at_ms, 500u);
    EXPECT_EQ(e[2].at_ms, 500u);
    EXPECT_EQ(e[3].byte, 0x1B);
    EXPECT_EQ(e[3].at_ms, 1060u);
    EXPECT_EQ(b.serial.discards, 1);
    EXPECT_FALSE(b.serial.upload_mark);
    // Not a byte of the wake-up or the release became data.
    EXPECT_EQ(b.programmer.uploaded_bytes, in_upload ? 100u : 0u);
  }

  // Gone before the abandon's ESC: the programmer is still in the upload.
  Bench gone;
  gone.serial.upload_mark = true;
  gone.serial.hang_up_at_call = 1;
  EXPECT_EQ(gone.run("q\n"), 6);
  EXPECT_TRUE(gone.serial.upload_mark);
}

// A line that brings a byte every 10 ms, whatever it is sent: the abandon
// drops what a programmer says after the break, but a run asked to end
// stops listening at once.
class Chatter : public sim::Peer {
 public:
  void receive(uint8_t, uint64_t) override {}
  void advance(uint64_t now_ms) override { now_ = now_ms; }
  std::optional<uint64_t> next_ready() const override { return now_ - now_ % 10 + 10; }
  uint8_t take() override { return 'x'; }
  void drop_output() override {}

 private:
  uint64_t now_ = 0;
};

TEST(LeftUpload, ARunAskedToEndStopsDroppingWhatTheLineBrings) {
  VirtualClock clock;
  Chatter chatter;
  SimSerial serial(chatter, clock);
  ScriptedConsole console(clock);
  serial.upload_mark = true;
  console.stop = ScriptedConsole::StopAt{Stop::interrupt, 1200};
  Session s(serial, console, clock);
  EXPECT_EQ(run_program(s), 130);
  // Seen within 100 ms, then the release's 200 ms; the abandon ended at
  // 1060 ms, and 256 bytes of chatter would have lasted past 3.6 s.
  EXPECT_LE(clock.now, 1200u + 100 + 200);
}

// A read-only cache must not cost the user the upload: standard error
// says, once, what is then left to do by hand.
TEST(LeftUpload, AMarkThatCannotBeKeptStopsNothingAndIsToldOnce) {
  TempDir dir;
  const Bytes image = pattern(2048, 4);
  write_file(dir / "in.bin", image);
  Bench b;
  b.serial.mark_trouble = "cannot make /c/upload-0: Read-only file system";
  EXPECT_EQ(b.run("1\n" + dir / "in.bin" + "\n1\n" + dir / "in.bin" + "\nq\n"), 0);
  EXPECT_EQ(b.wire(), kWakeUp + upload_bytes(image) + checksum_query(2048) + upload_bytes(image) +
                          checksum_query(2048) + kRelease);
  EXPECT_EQ(b.console.diagnostics,
            std::vector<std::string>{
                "COM1: the mark of an upload under way: cannot make /c/upload-0: Read-only file "
                "system; should this run end mid-upload, switch the programmer off and on before "
                "the next"});
}

}  // namespace
}  // namespace chipferry::test
