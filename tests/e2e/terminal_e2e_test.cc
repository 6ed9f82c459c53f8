// What a person at a terminal sees and does beyond the menu: --help and
// --version. The Session tests here run against the Windows build too.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/e2e/harness.h"

namespace chipferry::e2e {
namespace {

TEST(Session, HelpAndVersionAnswerWithoutOpeningThePort) {
  TempDir dir;
  for (const char* option : {"--help", "--version"}) {
    SCOPED_TRACE(option);
    // Were the port opened, this one would end the run with exit code 1.
    Process::Setup setup = chipferry_setup(dir.file("no-such-port"));
    setup.argv.emplace_back(option);
    Process p(setup);
    p.close_input();
    EXPECT_EQ(p.wait(), 0);
    const std::string starts =
        std::string(option) == "--help" ? "Usage: chipferry" : "chipferry 0.";
    EXPECT_EQ(p.out().rfind(starts, 0), 0u) << p.out();
    EXPECT_EQ(p.out().find("COM1 doesn't exist"), std::string::npos) << p.out();
  }
}

}  // namespace
}  // namespace chipferry::e2e
