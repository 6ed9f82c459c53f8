#include "tests/support/bench.h"

#include "app/program.h"
#include "link/port.h"

namespace chipferry::test {

Bench::Bench() : session(std::make_unique<Session>(serial, console, clock)) {}

int Bench::run(const std::string& stdin_text) {
  console.input = stdin_text;
  return run_program(*session);
}

int Bench::run_args(const std::vector<std::string>& args) {
  std::vector<const char*> argv{"chipferry"};
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  const CommandLine line =
      read_command_line(static_cast<int>(argv.size()), argv.data(), console, "/dev/ttyS9");
  if (line.exit_code) return *line.exit_code;
  return run_program(*session, line.steps);
}

Session& Bench::opened() {
  open_port(*session);
  return *session;
}

std::string Bench::out_after_banner() const {
  if (console.out.rfind(kBanner, 0) != 0) return "<no banner>" + console.out;
  return console.out.substr(kBanner.size());
}

}  // namespace chipferry::test
