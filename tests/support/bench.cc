#include "tests/support/bench.h"

#include "app/program.h"
#include "link/port.h"

namespace chipferry::test {

const char kBanner[] =
    "Chipferry V0.4\n"
    "Transfer tool for Advantest SE4943 (1985), aka TR4943\n"
    "Written from the programmer's documented exchanges; no warranty.\n"
    "\n";

const char kMenu[] =
    "\nSelect option:\n1. File->Buffer\n2. Buffer->File\n3. List ROM types\n"
    "4. Set ROM type\n5. ROM->Buffer (Dump)\n6. Compare ROM with Buffer\n"
    "7. Buffer->ROM (Program)\n8. Erase ROM (if supported)\n9. Blank check ROM\n(Q)uit\n";

Bench::Bench() : session(std::make_unique<Session>(serial, console, clock)) {}

int Bench::run(const std::string& stdin_text) {
  console.input = stdin_text;
  return run_program(*session);
}

Session& Bench::opened() {
  open_port(*session);
  return *session;
}

std::string Bench::out_after_banner() const {
  const std::string banner = kBanner;
  if (console.out.rfind(banner, 0) != 0) return "<no banner>" + console.out;
  return console.out.substr(banner.size());
}

std::string wake_up_bytes() { return std::string("\x1b\x11") + "S900000 01\r"; }

std::string release_bytes() { return std::string("\x1b") + "SC\r"; }

}  // namespace chipferry::test
