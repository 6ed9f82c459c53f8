// srec_cat (Debian's srecord) as the oracle of the text image tests: it
// writes the files we read, and reads the files we write.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace chipferry::test {

/// Runs srec_cat with `arguments`; true when it succeeded. Fails, never
/// skips, without the program: CI installs it.
inline bool srec_cat(const std::string& arguments) {
  if (std::system("command -v srec_cat >/dev/null 2>&1") != 0) {
    ADD_FAILURE() << "srec_cat is missing: install Debian's srecord (apt-get install srecord)";
    return false;
  }
  const int status = std::system(("srec_cat " + arguments).c_str());
  EXPECT_EQ(status, 0) << "srec_cat " << arguments;
  return status == 0;
}

}  // namespace chipferry::test
