// The ROM type table, the ROM list (option 3) and the selection of the
// programmer's ROM type (option 4).
#include "catalogue/catalogue.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "session/text.h"
#include "tests/support/bench.h"

namespace chipferry::test {
namespace {

TEST(Catalogue, RowsAreGroupedBySizeClassInAscendingOrder) {
  const size_t expected_counts[kSizeClassCount] = {5, 6, 12, 7, 5, 3};
  size_t counts[kSizeClassCount] = {};
  for (size_t row = 0; row < kRomTypeCount; ++row) {
    ASSERT_LT(kRomTypes[row].size_class, kSizeClassCount) << row;
    ASSERT_LT(kRomTypes[row].voltage_index, 6u) << row;
    if (row > 0) {
      EXPECT_LE(kRomTypes[row - 1].size_class, kRomTypes[row].size_class) << row;
    }
    ++counts[kRomTypes[row].size_class];
  }
  for (size_t k = 0; k < kSizeClassCount; ++k) EXPECT_EQ(counts[k], expected_counts[k]) << k;
}

TEST(Catalogue, NamesAreDistinctIgnoringCaseAndShortNamesDecodeTypeCodes) {
  for (size_t i = 0; i < kRomTypeCount; ++i) {
    const RomType& a = kRomTypes[i];
    SCOPED_TRACE(a.full_name);
    const std::string short_name = a.short_name;
    EXPECT_GE(short_name.size(), 2u);
    EXPECT_LE(short_name.size(), 4u);
    EXPECT_NE(short_name[0], '0');  // the type query strips leading zeros
    for (char c : short_name) EXPECT_FALSE(std::islower(static_cast<unsigned char>(c)));
    for (size_t j = 0; j < kRomTypeCount; ++j) {
      const RomType& b = kRomTypes[j];
      EXPECT_FALSE(equal_ignoring_case(a.short_name, b.full_name)) << b.full_name;
      if (i == j) continue;
      EXPECT_FALSE(equal_ignoring_case(a.full_name, b.full_name)) << b.full_name;
      EXPECT_FALSE(equal_ignoring_case(a.short_name, b.short_name)) << b.short_name;
    }
  }
}

TEST(Catalogue, LookupMatchesWholeNamesIgnoringCase) {
  struct Case {
    const char* text;
    NameColumn column;
    const char* found;  // full name of the row, or nullptr
  };
  const Case cases[] = {
      {"x2816a", NameColumn::full, "X2816A"},      {"f56", NameColumn::short_name, "MBM27C256"},
      {"16", NameColumn::full, nullptr},           {"16", NameColumn::short_name, "2716"},
      {"2716", NameColumn::full, "2716"},          {"MBM27C", NameColumn::full, nullptr},
      {"MBM27C", NameColumn::short_name, nullptr}, {"2716AB", NameColumn::full, nullptr},
      {"2716AB", NameColumn::short_name, nullptr}, {"0016", NameColumn::short_name, nullptr},
      {"", NameColumn::short_name, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const RomType* type = find_rom_type(c.text, c.column);
    if (c.found == nullptr) {
      EXPECT_EQ(type, nullptr);
    } else {
      ASSERT_NE(type, nullptr);
      EXPECT_STREQ(type->full_name, c.found);
    }
  }
  // Only A-Z fold: '@' is one below 'A' and must not match '`'.
  EXPECT_FALSE(equal_ignoring_case("@", "`"));
}

const char kRomList[] =
    "\nROM Chip   Volt.  Type | ROM Chip   Volt.  Type | ROM Chip   Volt.  Type |\n"
    "---------------------------  2 kilobyte ROMs ---------------------------\n"
    "2716       25.0V  16   | X2816A            216A | DQ52B13           5213 | \n"
    "2816A             816A | 2817A             817A | \n"
    "---------------------------  4 kilobyte ROMs ---------------------------\n"
    "2732       25.0V  32   | 2732A      21.0V  32A  | TMS2532    25.0V  532  | \n"
    "MCM2532    25.0V  632  | DQ52B23           5223 | MCM2833           2833 | \n"
    "---------------------------  8 kilobyte ROMs ---------------------------\n"
    "2764       21.0V  64   | MBM2764    21.0V  F64  | 2764A      12.5V  64A  | \n"
    "AM2764A    13.0V  A64A | P2764A     12.75V B64A | TMS2564    25.0V  564  | \n"
    "MCM68764   25.0V  664  | RD687C64   25.0V  D64  | LH5764     12.5V  5764 | \n"
    "X2864A            264A | DQ52B33           5233 | HN58064           8064 | \n"
    "--------------------------- 16 kilobyte ROMs ---------------------------\n"
    "27128      25.0V  128  | MBM27128   25.0V  F28  | 27128A     12.5V  28A  | \n"
    "AM27128A   13.0V  A28A | P27128     12.75V B28A | 27916      21.0V  916  | \n"
    "LH57128    12.5V  5728 | \n"
    "--------------------------- 32 kilobyte ROMs ---------------------------\n"
    "27256      12.5V  256  | AM27256    21.0V  A56  | P27256     12.75V B56  | \n"
    "MBM27C256  21.0V  F56  | LH57256    12.5V  5756 | \n"
    "--------------------------- 64 kilobyte ROMs ---------------------------\n"
    "27512      12.5V  512  | AM27512    13.0V  A512 | 27513      12.5V  513  | \n"
    "\nPress any key to continue\n";

TEST(RomList, PrintsTheWholeCatalogueThenWaitsForOneKey) {
  Bench b;
  // The 5 typed after the 3 is dropped before the key wait.
  EXPECT_EQ(b.run("35\nq\n"), 0);
  EXPECT_EQ(b.out_after_banner(), kMenu + kRomList + kMenu);
  EXPECT_EQ(b.console.key_waits, 1);
  EXPECT_EQ(b.wire(), kWakeUp + kRelease);
}

const char kAskType[] = "Enter ROM type (full or short name)\n";
const char kUnknownType[] = "Unknown ROM type, see ROM list for supported types.\n";

using SelectRomType = WithBench;

TEST_F(SelectRomType, SendsTheShortNameOfTheTypeFoundByFullOrShortName) {
  struct Case {
    const char* input;
    const char* confirmation;
    const char* command;
    size_t row;
  };
  const Case cases[] = {
      {"4\nx2816a\nq\n", "Type:X2816A Voltage:  Short name:216A\n", "R216A\r", 1},
      {"4\n16\nq\n", "Type:2716 Voltage:25.0V Short name:16\n", "R16\r", 0},
      {"4\n2716\nq\n", "Type:2716 Voltage:25.0V Short name:16\n", "R16\r", 0},
      {"4\n2764a\nq\n", "Type:2764A Voltage:12.5V Short name:64A\n", "R64A\r", 13},
      // The rest of the menu line goes; an empty line does not end the read.
      {"4 27512\n\n  f56\nq\n", "Type:MBM27C256 Voltage:21.0V Short name:F56\n", "RF56\r", 33},
      // The second word is dropped after the command, so the menu never sees it.
      {"4\n2716 2732\nq\n", "Type:2716 Voltage:25.0V Short name:16\n", "R16\r", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    Bench bench;
    bench.programmer.selected = &kRomTypes[37];
    EXPECT_EQ(bench.run(c.input), 0);
    EXPECT_EQ(bench.out_after_banner(), kMenu + kAskType + c.confirmation + kMenu);
    EXPECT_EQ(bench.wire(), kWakeUp + c.command + kRelease);
    EXPECT_EQ(bench.programmer.selected, &kRomTypes[c.row]);
    EXPECT_EQ(bench.clock.sleeps, run_pauses());  // nothing is awaited
  }
}

TEST_F(SelectRomType, UnknownWordSendsNothingAndLeavesTheLineToTheMenu) {
  EXPECT_EQ(b.run("4\nfoo bar\nq\n"), 0);
  EXPECT_EQ(b.out_after_banner(), kMenu + kAskType + kUnknownType + kMenu +
                                      "Option   does not exist, please try again.\n"
                                      "Option b does not exist, please try again.\n"
                                      "Option a does not exist, please try again.\n"
                                      "Option r does not exist, please try again.\n");
  EXPECT_EQ(b.wire(), kWakeUp + kRelease);
}

TEST_F(SelectRomType, WordTooLongForTheBufferMatchesNothing) {
  EXPECT_EQ(b.run("4\n" + std::string(300, 'a') + "\nq\n"), 0);
  EXPECT_EQ(b.out_after_banner(), kMenu + kAskType + kUnknownType + kMenu);
  EXPECT_EQ(b.wire(), kWakeUp + kRelease);
}

TEST_F(SelectRomType, EndOfInputBeforeAWordLooksNothingUp) {
  EXPECT_EQ(b.run("4\n\n"), 0);
  EXPECT_EQ(b.out_after_banner(), kMenu + kAskType + kMenu);
  EXPECT_EQ(b.wire(), kWakeUp + kRelease);
}

}  // namespace
}  // namespace chipferry::test
