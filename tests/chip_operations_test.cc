// The type query, the status frames and the five chip operations (menu
// options 5 to 9), end to end against the simulated programmer.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "catalogue/catalogue.h"
#include "catalogue/type_query.h"
#include "tests/support/bench.h"

namespace chipferry::test {
namespace {

const char kProgramPrompt[] = "Type the word 'PROGRAM' to confirm this action\n";
const char kErasePrompt[] = "Type the word 'ERASE' to confirm this action\n";
const char kNoContact[] = "Operation failed!\nCheck chip contacts!\n";

const RomType& rom(const char* full_name) { return *find_rom_type(full_name, NameColumn::full); }

// The menu's complaints about a typed-ahead " x" that survived.
const char kLeftOver[] =
    "Option   does not exist, please try again.\n"
    "Option x does not exist, please try again.\n";

// ---------------------------------------------------------------------------
// The type query on its own.

using TypeQuery = WithBench;

TEST_F(TypeQuery, StripsLeadingZerosAndFindsTheTransferLength) {
  struct Case {
    const char* name;
    const RomType* selected;
    std::optional<std::string> code;
    int32_t before;
    int32_t after;
    const char* found;  // full name of the row found, or nullptr
  };
  const Case cases[] = {
      {"0016 is the 2716", &rom("2716"), std::nullopt, 65536, 2048, "2716"},
      {"0512 is the 27512", &rom("27512"), std::nullopt, 2048, 65536, "27512"},
      {"four digits, no zero", &rom("LH57256"), std::nullopt, 2048, 32768, "LH57256"},
      {"all zero", nullptr, "0000", 4096, 4096, nullptr},
      {"unknown", nullptr, "9999", 4096, 4096, nullptr},
      {"zero inside stays", nullptr, "1006", 4096, 4096, nullptr},
      {"lower case", nullptr, "0f56", 2048, 32768, "MBM27C256"},
      {"lower case letter last", nullptr, "a64a", 2048, 8192, "AM2764A"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bench bench;
    bench.programmer.receive(0x11, 0);  // online, as after the wake-up
    bench.programmer.drop_output();
    if (c.selected != nullptr) bench.programmer.selected = c.selected;
    if (c.code) bench.programmer.faults.type_code = *c.code;
    const QueriedType queried = query_rom_type(bench.opened());
    EXPECT_TRUE(queried.next.carries_on());
    EXPECT_EQ(queried.length_or(c.before), c.after);
    EXPECT_EQ(queried.type, c.found != nullptr ? &rom(c.found) : nullptr);
    EXPECT_EQ(bench.wire(), "R\r");
    EXPECT_EQ(bench.clock.sleeps, Sleeps{100});
  }
}

TEST_F(TypeQuery, CodeCutShortComparesWhatArrived) {
  b.programmer.receive(0x11, 0);
  b.programmer.drop_output();
  b.programmer.faults.type_code = "16";
  b.programmer.faults.type_code_gap_ms = 500;  // "]" and the prompt come late
  const QueriedType queried = query_rom_type(b.opened());
  EXPECT_TRUE(queried.next.carries_on());
  EXPECT_EQ(queried.length_or(0), 2048);
  // After the query's 100 ms, two reads came back empty after 60 ms each.
  EXPECT_EQ(b.clock.now, 100u + 2u * 60u);
}

TEST_F(TypeQuery, NoBracketIsReportedAndChangesNothing) {
  b.programmer.faults.silent = true;
  EXPECT_FALSE(query_rom_type(b.opened()).next.carries_on());
  EXPECT_EQ(b.session->transfer_length, kStartTransferLength);

  // Within a chip operation it ends the run with "No Response".
  Bench run;
  run.programmer.faults.type_code = "";
  run.programmer.faults.type_code_gap_ms = 3600u * 135u * 2u;  // never a prompt in time
  EXPECT_EQ(run.run("9\nq\n"), 6);
  EXPECT_EQ(run.out_after_banner(), kMenu + "No Response\n");
  EXPECT_EQ(run.wire(), kWakeUp + "R\r" + kRelease);
}

// ---------------------------------------------------------------------------
// Each operation's wire sequence and pauses, on success, for the smallest
// and the largest size class.

struct Operation {
  const char* name;
  const char* keys;    // menu key and, where asked, the confirmation word
  const char* prompt;  // the confirmation prompt, or ""
  const char* wire;    // what goes out between the wake-up and the release
  bool type_query;
  Sleeps pause;  // after "P\r", for a 2 KiB and a 64 KiB chip; none at all
};

const Operation kDump = {"dump", "5", "", "R\rP8\rP\r", true, {1008, 1256}};
const Operation kCompare = {"compare", "6", "", "R\rPE\rP\r", true, {500, 504}};
const Operation kProgram = {"program",    "7 PROGRAM", kProgramPrompt,
                            "R\rPD\rP\r", true,        {10240, 327680}};
const Operation kErase = {"erase", "8 erase", kErasePrompt, "P9\rP\r", false, {}};
const Operation kBlankCheck = {"blank check", "9", "", "R\rPC\rP\r", true, {500, 504}};
const Operation kOperations[] = {kDump, kCompare, kProgram, kErase, kBlankCheck};

// The pauses of a run that starts one operation and then quits: the
// wake-up, "R\r" and the "]" that ends the type code (one failed attempt of
// the prompt wait), the operation command, the pause after "P\r" for the
// smallest or the `largest` chip, `tail`, and the release.
Sleeps expected_sleeps(const Operation& op, bool largest = false, Sleeps tail = {}) {
  Sleeps sleeps;
  if (op.type_query) sleeps = {100, 75};
  sleeps.push_back(100);
  if (!op.pause.empty()) sleeps.push_back(op.pause[largest ? 1 : 0]);
  sleeps.insert(sleeps.end(), tail.begin(), tail.end());
  return run_pauses(sleeps);
}

using ChipOperations = WithBench;

TEST_F(ChipOperations, SuccessSendsTheSequencePausesByTheChipSizeAndPrintsNothing) {
  for (const Operation& op : kOperations) {
    for (const bool largest : {false, true}) {
      SCOPED_TRACE(std::string(op.name) + (largest ? " 64K" : " 2K"));
      Bench bench;
      // Erase needs an electrically erasable chip for a pass.
      bench.programmer.selected = op.type_query ? &rom(largest ? "27512" : "2716") : &rom("X2816A");
      if (!op.type_query && largest) bench.session->transfer_length = 2048;  // not read by erase
      // What was typed after the key goes with the line: the menu never sees " x".
      EXPECT_EQ(bench.run(std::string(op.keys) + " x\nq\n"), 0);
      EXPECT_EQ(bench.out_after_banner(), kMenu + op.prompt + kMenu);
      EXPECT_EQ(bench.wire(), kWakeUp + op.wire + kRelease);
      EXPECT_EQ(bench.clock.sleeps, expected_sleeps(op, largest));
      if (op.type_query) {
        EXPECT_EQ(bench.session->transfer_length, largest ? 65536 : 2048);
      }
    }
  }
}

TEST_F(ChipOperations, UnknownTypeCodeKeepsTheTransferLengthForThePause) {
  for (const Operation& op : {kDump, kCompare, kProgram, kBlankCheck}) {
    SCOPED_TRACE(op.name);
    Bench bench;
    bench.programmer.faults.type_code = "0000";
    bench.session->transfer_length = 65536;
    EXPECT_EQ(bench.run(std::string(op.keys) + "\nq\n"), 0);
    EXPECT_EQ(bench.clock.sleeps, expected_sleeps(op, true));
  }
}

TEST_F(ChipOperations, DumpWaitsForTwoPassesAndThenTheWholePrompt) {
  b.programmer.chip.cells[0] = 0x42;
  EXPECT_EQ(b.run("5\nq\n"), 0);
  EXPECT_EQ(b.programmer.device_buffer[0], 0x42);
  // The closing prompt wait took the whole "[C]" of the second pass.
  EXPECT_EQ(b.clock.sleeps, expected_sleeps(kDump));

  // One pass alone is not enough: a missing second frame is no response.
  Bench one;
  one.programmer.faults.execute_replies = {"[PASS]"};
  EXPECT_EQ(one.run("5\nq\n"), 6);
  EXPECT_EQ(one.out_after_banner(), kMenu + "No Response\n");
}

// The closing wait after the last pass: a bare "[" serves every operation
// but the dump, which waits for the whole prompt.
TEST_F(ChipOperations, OnlyTheDumpClosesOnTheWholePrompt) {
  for (const Operation* op : {&kCompare, &kProgram, &kErase, &kBlankCheck, &kDump}) {
    SCOPED_TRACE(op->name);
    Bench bench;
    const bool dump = op == &kDump;
    bench.programmer.faults.execute_replies = {dump ? "[PASS][PASS][" : "[PASS]["};
    EXPECT_EQ(bench.run(std::string(op->keys) + "\nq\n"), dump ? 6 : 0);
    EXPECT_EQ(bench.out_after_banner(), kMenu + op->prompt + (dump ? "No Response\n" : kMenu));
  }
}

TEST_F(ChipOperations, FramesAreComparedIgnoringCaseAndWithoutEarlierText) {
  // A long unknown word fills the text buffer before the replies arrive.
  b.programmer.faults.execute_replies = {"[pass][PaSs][C]", "[pass][C]"};
  EXPECT_EQ(b.run("4\nabcdefghijklmnopqrstuvwxyz\n5\n6\nq\n"), 0);
  EXPECT_EQ(b.out_after_banner(), kMenu + "Enter ROM type (full or short name)\n" +
                                      "Unknown ROM type, see ROM list for supported types.\n" +
                                      kMenu + kMenu + kMenu);
}

// ---------------------------------------------------------------------------
// Outcomes of the code frame.

struct Outcome {
  const Operation* op;
  std::string reply;  // everything the programmer sends after "P\r"
  const char* printed;
  bool esc;
};

TEST_F(ChipOperations, EveryCodeFramePrintsItsMessageAndShowsTheMenuAfterThePrompt) {
  std::vector<Outcome> outcomes;
  const struct {
    const Operation* op;
    const char* failure;
  } failures[] = {
      {&kDump, "Operation failed!\nVerify error!\n"},
      {&kCompare, "ROM doesn't match Buffer!\n"},
      {&kProgram, "ROM couldn't be programmed!\n"},
      {&kErase, "ROM couldn't be erased!\n"},
      {&kBlankCheck, "ROM not blank!\n"},
  };
  for (const auto& f : failures) {
    const std::string pass = f.op == &kDump ? "[PASS]" : "";  // the dump fails on its second frame
    outcomes.push_back({f.op, pass + "[ERROR #06][C]", kNoContact, false});
    for (char digit = '0'; digit <= '7'; ++digit) {
      outcomes.push_back({f.op, pass + "[ERROR #1" + digit + "]", f.failure, true});
    }
    outcomes.push_back({f.op, pass + "[ERROR #20]", "Unexpected error #20\n", true});
    outcomes.push_back({f.op, pass + "[error #1a]", "Unexpected error #1a\n", true});
  }
  outcomes.push_back({&kProgram, "[ERROR #05]", "ROM error!\nReinsert ROM\n", true});
  outcomes.push_back({&kErase, "[ERROR #05]", "Unexpected error #05\n", true});
  outcomes.push_back({&kBlankCheck, "[ERROR #05]", "Unexpected error #05\n", true});
  outcomes.push_back(
      {&kErase, "[ERROR #35]", "Only EEPROMs can be erased with this function!\n", true});
  outcomes.push_back({&kProgram, "[ERROR #35]", "Unexpected error #35\n", true});
  outcomes.push_back({&kCompare, "[ERROR #35]", "Unexpected error #35\n", true});

  for (const Outcome& o : outcomes) {
    const Operation& op = *o.op;
    SCOPED_TRACE(op.name + (" " + o.reply));
    Bench bench;
    bench.programmer.faults.execute_replies = {o.reply};
    // " x" typed ahead: #06 drops it with the line, ESC rows leave it.
    EXPECT_EQ(bench.run(std::string(op.keys) + " x\nq\n"), 0);
    EXPECT_EQ(bench.out_after_banner(),
              kMenu + op.prompt + o.printed + kMenu + (o.esc ? kLeftOver : ""));
    EXPECT_EQ(bench.wire(), kWakeUp + op.wire + (o.esc ? kEsc : "") + kRelease);
    // After ESC the error's pause, then the programmer's prompt arrives at once.
    EXPECT_EQ(bench.clock.sleeps, expected_sleeps(op, false, o.esc ? Sleeps{200} : Sleeps{}));
  }
}

TEST_F(ChipOperations, NoPromptAfterAnErrorEndsTheRun) {
  b.programmer.faults.execute_replies = {"[ERROR #06]"};  // and no prompt after it
  EXPECT_EQ(b.run("9\nq\n"), 6);
  EXPECT_EQ(b.out_after_banner(), kMenu + kNoContact + "No Response\n");
}

TEST_F(ChipOperations, FrameOfNeitherKindEndsTheRunWithInvalidResponse) {
  const struct {
    const Operation* op;
    const char* reply;
  } cases[] = {
      {&kBlankCheck, "[FAIL!][C]"},
      {&kCompare, "[PAS"},  // cut short: the missing bytes read as NUL
      {&kProgram, "[ PASS]"},
      {&kErase, "[ERRO"},
      {&kDump, "[PASS][WHAT?][C]"},  // the second frame decides
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.op->name) + " " + c.reply);
    Bench bench;
    bench.programmer.faults.execute_replies = {c.reply};
    EXPECT_EQ(bench.run(std::string(c.op->keys) + "\nq\n"), 7);
    EXPECT_EQ(bench.out_after_banner(), kMenu + c.op->prompt + "Invalid Response\n");
    EXPECT_EQ(bench.wire(), kWakeUp + c.op->wire + kRelease);
  }
}

TEST_F(ChipOperations, SilenceAfterTheExecuteCommandIsNoResponse) {
  b.programmer.faults.execute_replies = {""};
  EXPECT_EQ(b.run("6\nq\n"), 6);
  EXPECT_EQ(b.out_after_banner(), kMenu + "No Response\n");
  EXPECT_EQ(b.wire(), kWakeUp + "R\rPE\rP\r" + kRelease);
}

// ---------------------------------------------------------------------------
// The confirmation that guards program and erase.

TEST(Confirmation, AcceptsTheWordInAnyCase) {
  const struct {
    const char* input;
    const Operation* op;
  } cases[] = {
      {"7\nPROGRAM\nq\n", &kProgram}, {"7\nprogram\nq\n", &kProgram},
      {"7\nProgram\nq\n", &kProgram}, {"7\n\n\n  PROGRAM\nq\n", &kProgram},
      {"8\nERASE\nq\n", &kErase},     {"8\nerase\nq\n", &kErase},
      {"8\nErase\nq\n", &kErase},     {"8\n\nErAsE\nq\n", &kErase},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    Bench b;
    b.programmer.selected = &rom("X2816A");
    EXPECT_EQ(b.run(c.input), 0);
    EXPECT_EQ(b.out_after_banner(), kMenu + c.op->prompt + kMenu);
    EXPECT_EQ(b.wire(), kWakeUp + c.op->wire + kRelease);
  }
}

TEST(Confirmation, WordOnTheMenuLineAnswersAtOnce) {
  Bench b;
  b.programmer.selected = &rom("X2816A");
  EXPECT_EQ(b.run("8 erase\nq\n"), 0);
  EXPECT_EQ(b.wire(), kWakeUp + "P9\rP\r" + kRelease);
  EXPECT_EQ(b.console.lines_read, 2);
  EXPECT_EQ(b.programmer.chip.cells[0], 0xFF);
}

TEST(Confirmation, AnyOtherWordReturnsToTheMenuWithoutTheOperationCommand) {
  const std::string too_long = "PROGRAM" + std::string(300, 'M');
  const struct {
    std::string input;
    const Operation* op;
    const char* wire;
  } cases[] = {
      {"7\nPROG x\nq\n", &kProgram, "R\r"}, {"7\nPROGRAMS x\nq\n", &kProgram, "R\r"},
      {"7\nyes x\nq\n", &kProgram, "R\r"},  {"7\n" + too_long + " x\nq\n", &kProgram, "R\r"},
      {"8\nerased x\nq\n", &kErase, ""},    {"8 no x\nq\n", &kErase, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input.substr(0, 20));
    Bench b;
    EXPECT_EQ(b.run(c.input), 0);
    // Refusing is silent and keeps the rest of the line for the menu.
    EXPECT_EQ(b.out_after_banner(), kMenu + c.op->prompt + kMenu + kLeftOver);
    EXPECT_EQ(b.wire(), kWakeUp + c.wire + kRelease);
    const Sleeps asked = c.op->type_query ? Sleeps{100, 75} : Sleeps{};
    EXPECT_EQ(b.clock.sleeps, run_pauses(asked));
  }
}

TEST(Confirmation, EndOfInputRefuses) {
  for (const char* input : {"7\n", "8\n\n"}) {
    SCOPED_TRACE(input);
    Bench b;
    EXPECT_EQ(b.run(input), 0);
    EXPECT_EQ(b.wire().find("P\r"), std::string::npos);
  }
}

// ---------------------------------------------------------------------------
// An image shorter than the chip, named before the chip is burned.

TEST(ShortImage, IsNamedBeforeTheConfirmationOnlyWhenItIsShorterThanTheChip) {
  const std::string named =
      "the image loaded is 2048 bytes; a 2764 holds 8192, so 0800-1FFF will be programmed "
      "from what the programmer's buffer held before";
  const struct {
    const char* name;
    std::string input;  // "%2" and "%8" stand for a 2 and an 8 KiB image
    std::vector<std::string> said;
  } cases[] = {
      {"2 KiB image", "1\n%2\n7\nno\n", {named}},
      {"8 KiB image", "1\n%8\n7\nno\n", {}},
      {"nothing loaded", "7\nno\n", {}},
      {"a dump since", "1\n%2\n5\n7\nno\n", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    write_file(dir / "2k.bin", Bytes(2048, 0x11));
    write_file(dir / "8k.bin", Bytes(8192, 0x11));
    std::string input = c.input + "q\n";
    for (const std::string size : {"2", "8"}) {
      const size_t at = input.find("%" + size);
      if (at != std::string::npos) input.replace(at, 2, dir / (size + "k.bin"));
    }
    Bench b;
    b.programmer.selected = &rom("2764");
    EXPECT_EQ(b.run(input), 0);
    EXPECT_EQ(b.console.diagnostics, c.said);
    // Standard output and the wire are as they were.
    EXPECT_TRUE(b.out_after_banner().ends_with(kProgramPrompt + kMenu));
    EXPECT_TRUE(b.wire().ends_with("R\r" + kRelease));
  }
}

}  // namespace
}  // namespace chipferry::test
