// What every run says on the line and on the console, written once for the
// in-process and the end-to-end tests. These are the tests' own copies,
// never the program's, so a change of the bytes fails a test. Header-only:
// the end-to-end binary links none of the program's code.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace chipferry::test {

const std::string kEsc = "\x1b";

/// The wake-up, as the programmer sees it: ESC, DC1, and once the prompt
/// came the start-up command.
const std::string kWakeUp =
    "\x1b\x11"
    "S900000 01\r";
/// The release at the end of the run.
const std::string kRelease =
    "\x1b"
    "SC\r";

/// The upload command and the preamble ahead of the data.
const std::string kUploadStart = "S6 0\r" + std::string(13, '\0') + "\xFF";

/// The programmer's answer to a checksum query for `block`, "[XXXX ]".
inline std::string checksum_reply(const std::string& block) {
  unsigned sum = 0;
  for (char c : block) sum += static_cast<uint8_t>(c);
  char reply[16];
  std::snprintf(reply, sizeof reply, "[%04X ]", sum & 0xFFFFu);
  return reply;
}

/// The banner's first two lines, ahead of its credits line.
const std::string kBannerStart =
    "Chipferry V0.4\n"
    "Transfer tool for Advantest SE4943 (1985), aka TR4943\n";

const std::string kMenu =
    "\nSelect option:\n1. File->Buffer\n2. Buffer->File\n3. List ROM types\n4. Set ROM type\n"
    "5. ROM->Buffer (Dump)\n6. Compare ROM with Buffer\n7. Buffer->ROM (Program)\n"
    "8. Erase ROM (if supported)\n9. Blank check ROM\n(Q)uit\n";

}  // namespace chipferry::test
