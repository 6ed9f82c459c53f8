// The one way untrusted text is shown, on a terminal or in a trace.
#include "platform/printable.h"

#include <gtest/gtest.h>

#include <string>

namespace chipferry {
namespace {

TEST(Printable, LeavesATerminalNothingToObeyAndEverythingElseAsItStands) {
  const struct {
    std::string text;
    std::string shown;
  } cases[] = {
      // An arrow key, a window title, a line end, NUL, DEL.
      {"\x1b[A", "^[[A"},
      {"\x1b]0;owned\x07", "^[]0;owned^G"},
      {std::string("a\r\nb\0c\x7f", 7), "a^M^Jb^@c^?"},
      // CSI and NEL as single bytes, and written in UTF-8.
      {"\x9b"
       "31m",
       "M-^[31m"},
      {"x\xc2\x85y", "xM-BM-^Ey"},
      // UTF-8 passes: e acute, the euro (whose bytes hold 0x82), a clef.
      {"\xc3\xa9 \xe2\x82\xac \xf0\x9d\x84\x9e", "\xc3\xa9 \xe2\x82\xac \xf0\x9d\x84\x9e"},
      // A Latin-1 name, a cut UTF-8 character: as they stand.
      {"J\xf6rg \xc3", "J\xf6rg \xc3"},
      // An overlong form of CSI is no character: its C1 bytes are shown.
      {"\xe0\x82\x9b", "\xe0M-^BM-^["},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(printable(c.text), c.shown);
    EXPECT_EQ(printable(c.shown), c.shown) << "shown again, it changes no more";
  }
}

}  // namespace
}  // namespace chipferry
