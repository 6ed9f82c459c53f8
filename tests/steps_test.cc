// Steps on the command line, in-process: each runs its menu option's code,
// in the order given, stops the run at the first that fails, and says by
// the exit code which way it failed.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "catalogue/catalogue.h"
#include "tests/support/bench.h"
#include "tests/support/transfer_scene.h"

namespace chipferry::test {
namespace {

const RomType* rom(const char* name) { return find_rom_type(name, NameColumn::full); }

// A blank 2716 in the socket, the programmer set to a 2764A.
void blank_2716(Bench& b) {
  b.programmer.selected = rom("2764A");
  b.programmer.chip.type = rom("2716");
}

// A run of steps reads no input and never touches the keyboard's mode.
void expect_no_key_read(const Bench& b) {
  EXPECT_EQ(b.console.line_reads, 0);
  EXPECT_EQ(b.console.key_polls, 0);
  EXPECT_EQ(b.console.key_waits, 0);
  EXPECT_EQ(b.console.key_mode_changes, 0);
}

// The burn of the issue, and the same burn typed at the menu: the same
// bytes on the line and the same pauses, in the order of the command line.
TEST(Steps, RunInTheirOrderWithTheWireOfTheMenuSession) {
  TempDir dir;
  const Bytes image = pattern(2048, 7);
  write_file(dir / "img.bin", image);
  Bench menu;
  blank_2716(menu);
  ASSERT_EQ(menu.run("4\n2716\n1\n" + dir / "img.bin" + "\n7\nPROGRAM\n6\nq\n"), 0);

  Bench b;
  blank_2716(b);
  EXPECT_EQ(b.run_args({"--type", "2716", "--load=" + dir / "img.bin", "-p", "--compare"}), 0);
  EXPECT_EQ(b.wire(), menu.wire());
  EXPECT_EQ(b.clock.sleeps, menu.clock.sleeps);
  EXPECT_EQ(b.out_after_banner(), "Type:2716 Voltage:25.0V Short name:16\n");
  EXPECT_TRUE(std::equal(image.begin(), image.end(), b.programmer.chip.cells.begin()));
  expect_no_key_read(b);
}

// The compare fails: the error is handed back with ESC and its prompt, as
// the menu does, nothing more is done, and the programmer is released.
TEST(Steps, StopAtTheFirstFailureAndReleaseTheProgrammer) {
  TempDir dir;
  write_file(dir / "img.bin", pattern(2048, 3));
  Bench menu;
  blank_2716(menu);
  ASSERT_EQ(menu.run("4\n2716\n1\n" + dir / "img.bin" + "\n6\nq\n"), 0);

  Bench b;
  blank_2716(b);
  EXPECT_EQ(b.run_args({"-t", "16", "-l", dir / "img.bin", "-c", "-p", "-d"}), kExitChipOperation);
  EXPECT_EQ(b.out_after_banner(),
            "Type:2716 Voltage:25.0V Short name:16\nROM doesn't match Buffer!\n");
  EXPECT_EQ(b.wire(), menu.wire());
  EXPECT_TRUE(b.wire().ends_with("PE\rP\r" + kEsc + kRelease));
  EXPECT_EQ(b.clock.sleeps, menu.clock.sleeps);
  expect_no_key_read(b);
}

// Each way a step fails has its code; a command line found wrong, an
// unknown type or a file that cannot be loaded never opens the port.
TEST(Steps, EachFailureEndsWithItsCode) {
  TempDir dir;
  write_file(dir / "img.bin", pattern(2048, 1));
  // Data at 0000 and 0900: no 2 KiB window holds both.
  write_file(dir / "wide.hex", std::string(":01000000AA55\n:01090000BB3B\n:00000001FF\n"));
  const std::string missing = dir / "missing.bin";
  const std::string usage = "; see chipferry --help";
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::function<void(Bench&)> scene;
    int code;
    std::string out;   // "" and never opened: before the banner
    std::string wire;  // between the wake-up and the release
    std::vector<std::string> diagnostics;
  };
  const auto none = [](Bench&) {};
  const Case cases[] = {
      {"not blank",
       {"--blank-check"},
       [](Bench& b) { b.programmer.chip.cells[9] = 0; },
       kExitChipOperation,
       "ROM not blank!\n",
       "R\rPC\rP\r" + kEsc,
       {}},
      {"no chip",
       {"--dump", "--erase"},
       [](Bench& b) { b.programmer.chip.present = false; },
       kExitChipOperation,
       "Operation failed!\nCheck chip contacts!\n",
       "R\rP8\rP\r",
       {}},
      {"an EPROM",
       {"-e"},
       none,
       kExitChipOperation,
       "Only EEPROMs can be erased with this function!\n",
       "P9\rP\r" + kEsc,
       {}},
      {"unwritable",
       {"--save", dir / "no/such.bin", "-d"},
       none,
       kExitFile,
       "Can't write file " + dir / "no/such.bin" + "\n",
       "R\rS8\rS1K 0000-07FF\r",
       {"cannot write " + dir / "no/such.bin" + ": No such file or directory"}},
      {"no window",
       {"--load", dir / "wide.hex", "-p"},
       none,
       kExitFile,
       "Unsupported file size\n",
       "R\r",
       {dir / "wide.hex" + " holds 0000-0000 and 0900-0900: no 2 KiB window holds both"}},
      {"unreadable",
       {"-d", "--verify", missing},
       none,
       kExitFile,
       "Can't read file " + missing + "\n",
       "",
       {"cannot read " + missing + ": No such file or directory"}},
      // Signals and a closed standard output keep their codes.
      {"Ctrl+C",
       {"-p", "-c"},
       [](Bench& b) {
         b.console.stop = ScriptedConsole::StopAt{Stop::interrupt, 3000};
       },
       130,
       "",
       "R\rPD\rP\r",
       {}},
      {"output gone",
       {"-t", "2716", "-c"},
       [](Bench& b) { b.console.writes_before_output_gone = 1; },
       141,
       "",
       "R16\r",
       {}},
      {"no such type",
       {"-d", "--type", "2765"},
       none,
       kExitUsage,
       "Unknown ROM type, see ROM list for supported types.\n",
       "",
       {}},
      {"unknown",
       {"-d", "--bogus"},
       none,
       kExitUsage,
       "",
       "",
       {"unknown option '--bogus'" + usage}},
      {"no value", {"--load"}, none, kExitUsage, "", "", {"--load needs a file name" + usage}},
      {"a value", {"--dump=x"}, none, kExitUsage, "", "", {"--dump takes no value" + usage}},
      {"stray",
       {"-d", "fw.hex"},
       none,
       kExitUsage,
       "",
       "",
       {"unexpected argument 'fw.hex'" + usage}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bench b;
    b.programmer.selected = b.programmer.chip.type = rom("2716");
    c.scene(b);
    EXPECT_EQ(b.run_args(c.args), c.code);
    EXPECT_EQ(b.console.diagnostics, c.diagnostics);
    if (c.code == kExitUsage || c.wire.empty()) {
      EXPECT_EQ(b.console.out, c.out);
      EXPECT_EQ(b.serial.opened_name, "");
      EXPECT_EQ(b.wire(), "");
    } else {
      EXPECT_EQ(b.out_after_banner(), c.out);
      EXPECT_EQ(b.wire(), kWakeUp + c.wire + kRelease);
    }
  }
}

// --verify dumps the chip, fetches it, and names where it differs from the
// file; a file a step before it saves is there by then.
TEST(Steps, VerifyNamesTheBytesThatDiffer) {
  TempDir dir;
  const Bytes image = pattern(8192, 5);
  write_file(dir / "fw.bin", image);
  Bench b;
  b.programmer.selected = b.programmer.chip.type = rom("2764");
  std::copy(image.begin(), image.end(), b.programmer.chip.cells.begin());
  const size_t differing[] = {0x0000, 0x0011, 0x0100, 0x0101, 0x0FFF,
                              0x1000, 0x1234, 0x1FFE, 0x1FFF};
  for (size_t at : differing) b.programmer.chip.cells[at] ^= 0x81;
  EXPECT_EQ(b.run_args({"--verify", dir / "fw.bin", "--dump"}), kExitVerify);
  std::string expected = "ROM doesn't match " + dir / "fw.bin" + ": 9 bytes differ\n";
  for (size_t i = 0; i < 8; ++i) {
    char line[40];
    std::snprintf(line, sizeof line, "%04zX: chip %02X, file %02X\n", differing[i],
                  image[differing[i]] ^ 0x81, image[differing[i]]);
    expected += line;
  }
  EXPECT_EQ(b.out_after_banner(), expected);
  EXPECT_EQ(b.wire(), kWakeUp + "R\rP8\rP\rR\rS8\r" + checksum_query(8192) + kRelease);
  expect_no_key_read(b);

  // Saved as Intel HEX and verified against that: the file of a step
  // before is not looked for ahead of the run.
  Bench again;
  again.programmer.selected = again.programmer.chip.type = rom("2764");
  const std::string saved = dir / "saved.hex";
  EXPECT_EQ(again.run_args({"-d", "-s", saved, "-v", saved}), 0);
  EXPECT_EQ(again.out_after_banner(), "ROM matches " + saved + "\n");

  // A file longer than the chip: its first 2 KiB are burned and compare
  // equal, the rest is nowhere.
  Bench shorter;
  shorter.programmer.selected = shorter.programmer.chip.type = rom("2716");
  std::copy_n(image.begin(), 2048, shorter.programmer.chip.cells.begin());
  EXPECT_EQ(shorter.run_args({"-v", dir / "fw.bin"}), kExitVerify);
  EXPECT_EQ(shorter.out_after_banner(),
            "ROM doesn't match " + dir / "fw.bin" + ": the chip holds 2048 of its 8192 bytes\n");
}

}  // namespace
}  // namespace chipferry::test
