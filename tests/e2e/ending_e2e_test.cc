// Runs that real signals, a closed pipe and a line that hangs up end early:
// the programmer must come out of each as a normal end leaves it, or, once
// its line is gone, the run must end at once.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "platform/printable.h"
#include "tests/e2e/harness.h"
#include "trace/trace.h"

namespace chipferry::test::e2e {
namespace {

// Until the simulator's log holds `lines` full lines of the byte `hex`
// from the program, or the time runs out.
bool wait_for_sent_lines(const Sim& sim, const std::string& hex, size_t lines) {
  const std::string line = "> " + hex + repeat(" " + hex, 15);
  const auto end = std::chrono::steady_clock::now() + kRunLimit;
  for (;;) {
    const std::string log = sim.log();
    size_t seen = 0;
    for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) ++seen;
    if (seen >= lines) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    poll(nullptr, 0, 10);
  }
}

// Ends chipferry with `sig` in the middle of uploading a 64 KiB image of
// 0x5A to `sim`, once the simulator has logged `lines` full lines of it.
void end_an_upload_with(int sig, const TempDir& dir, const Sim& sim, size_t lines) {
  write_file(dir / "image.bin", std::string(65536, '\x5A'));
  auto upload = start_chipferry(sim.port);
  upload->write_input("1\n" + (dir / "image.bin") + "\n");
  EXPECT_TRUE(wait_for_sent_lines(sim, "5A", lines)) << sim.log();
  upload->signal(sig);
  EXPECT_EQ(upload->wait(), 128 + sig);
}

// A second SIGTERM or SIGHUP is the system saying it again (a closing
// terminal sends SIGHUP twice); it must not cut the release short.
TEST(EndingEarly, EachSignalEndsTheRunAsItWouldOnceTheProgrammerIsReleased) {
  const struct {
    int sig;
    int times;
    bool at_menu;  ///< or at the wake-up's wait for a silent programmer
  } cases[] = {{SIGINT, 1, true}, {SIGTERM, 2, false}, {SIGHUP, 2, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(strsignal(c.sig));
    TempDir dir;
    Sim sim(dir,
            c.at_menu ? std::vector<std::string>{} : std::vector<std::string>{"--fault", "silent"});
    Process::Setup setup = chipferry_setup(sim.port);
    setup.env.push_back("CHIPFERRY_TRACE=" + (dir / "run.trace"));
    Process chipferry(setup);
    if (c.at_menu) {
      ASSERT_TRUE(chipferry.read_until("(Q)uit\n")) << chipferry.out();
    } else {
      // The wake-up's DC1, on a line of its own or with the ESC before it
      // when the simulator was too busy to take them apart.
      ASSERT_TRUE(sim.wait_for_log("\\x11\"")) << sim.log();
    }
    for (int i = 0; i < c.times; ++i) chipferry.signal(c.sig);
    EXPECT_EQ(chipferry.wait(), 128 + c.sig);
    sim.stop();
    EXPECT_EQ(log_bytes(sim.log(), '>'),
              (c.at_menu ? kWakeUp : std::string("\x1b\x11")) + kRelease);
    // The trace ends whole, with the release and the closing.
    trace::Trace recorded;
    std::string error;
    ASSERT_TRUE(trace::load(dir / "run.trace", recorded, error)) << error;
    EXPECT_FALSE(recorded.cut_short);
    ASSERT_GE(recorded.entries.size(), 2u);
    EXPECT_EQ(recorded.entries.back().event, trace::Event::port_closed);
    std::string sent;
    for (const trace::Entry& e : recorded.entries) {
      if (e.kind == trace::Entry::Kind::sent) sent += e.data;
    }
    EXPECT_EQ(sent.substr(sent.size() - kRelease.size()), kRelease);
  }
}

// ESC, S, C and CR sent in the middle of an upload would be taken for data,
// and a later download would bring them back inside the image.
TEST(EndingEarly, SigtermDuringAnUploadLeavesNoClosingBytesInTheBuffer) {
  TempDir dir;
  // At the line's speed, so that the upload is still under way; the
  // programmer set to an 8 KiB type, so that the second session's
  // download covers where the first one stopped.
  Sim sim(dir, {"--pace", "--type", "2764A"});
  end_an_upload_with(SIGTERM, dir, sim, 64);

  const RunResult save = run_chipferry(sim.port, "2\n" + (dir / "saved.bin") + "\nq\n");
  EXPECT_EQ(save.code, 0) << save.out;
  const auto saved = read_file<std::string>(dir / "saved.bin");
  ASSERT_EQ(saved.size(), 8192u);
  EXPECT_EQ(saved.compare(0, 1024, std::string(1024, '\x5A')), 0);
  EXPECT_EQ(saved.find('\x1b'), std::string::npos);
  EXPECT_EQ(saved.find("SC\r"), std::string::npos);
}

// A kill gives the run no way out: the programmer stays in the upload,
// taking every byte as data. The next run on the port abandons that upload
// first, as ESC abandons one, and wakes the programmer after; the run
// after that starts as any other.
TEST(EndingEarly, TheRunAfterAKillMidUploadAbandonsItBeforeTheWakeUp) {
  TempDir dir;
  Sim sim(dir, {"--pace", "--type", "2764A"});
  end_an_upload_with(SIGKILL, dir, sim, 16);

  for (const char* run : {"next", "after"}) {
    SCOPED_TRACE(run);
    const std::string trace_path = dir / (std::string(run) + ".trace");
    Process::Setup setup = chipferry_setup(sim.port);
    setup.env.push_back("CHIPFERRY_TRACE=" + trace_path);
    Process chipferry(setup);
    chipferry.write_input("q\n");
    chipferry.close_input();
    EXPECT_EQ(chipferry.wait(), 0);
    EXPECT_EQ(after_banner(chipferry.out()), kMenu);
    trace::Trace recorded;
    std::string error;
    ASSERT_TRUE(trace::load(trace_path, recorded, error)) << error;
    // What the run did on the line up to the wake-up's DC1, in order.
    std::vector<std::string> start;
    for (const trace::Entry& e : recorded.entries) {
      if (e.kind == trace::Entry::Kind::event) {
        if (e.event == trace::Event::break_on || e.event == trace::Event::break_off) {
          start.emplace_back(trace::event_name(e.event));
        }
      } else if (e.kind == trace::Entry::Kind::sent) {
        for (char c : e.data) start.push_back(hex(static_cast<uint8_t>(c)));
      }
      if (!start.empty() && start.back() == "11") break;
    }
    const std::vector<std::string> abandoned = {"break on", "break off", "1B", "1B", "11"};
    const std::vector<std::string> woken = {"1B", "11"};
    EXPECT_EQ(start, std::string(run) == "next" ? abandoned : woken);
  }
}

TEST(EndingEarly, AClosedStandardOutputStillReleasesTheProgrammer) {
  TempDir dir;
  Sim sim(dir);
  auto chipferry = start_chipferry(sim.port);
  // As `chipferry | head`: the reader has what it wanted and goes; nothing
  // more is typed.
  ASSERT_TRUE(chipferry->read_until("(Q)uit\n")) << chipferry->out();
  chipferry->close_output();
  EXPECT_EQ(chipferry->wait(), 128 + SIGPIPE);
  sim.stop();
  EXPECT_EQ(log_bytes(sim.log(), '>'), kWakeUp + kRelease);
}

// A pulled USB adapter, played by the simulator closing its end: a read
// then finds the line hung up, a write fails with EIO.
TEST(EndingEarly, ALineThatHangsUpEndsTheRunWithOneFailureLine) {
  TempDir dir;
  write_file(dir / "image.bin", std::string(65536, '\x5A'));
  const struct {
    std::vector<std::string> options;
    std::string input;
    std::string out;
    std::string reason;
  } cases[] = {
      {{"--fault", "hangup=command:R"}, "5\n", "Couldn't read Port COM1\n", "the line hung up"},
      // At the line's speed, so that the program is still writing.
      {{"--pace", "--fault", "hangup=upload:100"},
       "1\n" + (dir / "image.bin") + "\n",
       "Enter Filename\nCouldn't write to Port COM1\n",
       "Input/output error"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options.back());
    Sim sim(dir, c.options);
    Process::Setup setup = chipferry_setup(sim.port);
    setup.argv = {"/bin/sh", "-c", "exec \"$0\" 2>\"$1\"", CHIPFERRY_BIN, (dir / "stderr")};
    Process chipferry(setup);
    chipferry.write_input(c.input);
    EXPECT_EQ(chipferry.wait(), 6);
    EXPECT_EQ(after_banner(chipferry.out()), kMenu + c.out + "No Response\n");
    EXPECT_EQ(read_file<std::string>(dir / "stderr"),
              "chipferry: COM1 (" + sim.port + ") went away: " + c.reason +
                  "; is the cable or the USB adapter still plugged in?\n");
  }
}

}  // namespace
}  // namespace chipferry::test::e2e
