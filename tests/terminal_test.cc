// What a person at a terminal sees beyond standard output, in virtual
// time.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/bench.h"

namespace chipferry::test {
namespace {

TEST(Menu, ControlCharactersAreShownInCaretNotation) {
  Bench b;
  // An arrow key, DEL, a tab and Ctrl+A; printable characters as typed.
  EXPECT_EQ(b.run("\x1b[A\x7f\t\x01\xe9\nq\n"), 0);
  std::string expected = kMenu;
  for (const char* shown : {"^[", "[", "A", "^?", "^I", "^A", "\xe9"}) {
    expected += std::string("Option ") + shown + " does not exist, please try again.\n";
  }
  EXPECT_EQ(b.out_after_banner(), expected);
}

}  // namespace
}  // namespace chipferry::test
