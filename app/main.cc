// chipferry: remote control of an Advantest SE4943 EPROM programmer on COM1.
#include <cstdlib>
#include <memory>
#include <string>

#include "app/program.h"
#include "platform/backends.h"
#include "remote/serial-rfc2217.h"
#include "trace/recorder.h"

int main(int argc, char** argv) {
  chipferry::Backends backends = chipferry::make_backends(chipferry::remote_serial);
  // --help and --version are answered, and the steps' options, names and
  // files checked, before the port is touched.
  const chipferry::CommandLine line =
      chipferry::read_command_line(argc, argv, *backends.console, backends.com1_default);
  if (line.exit_code) return *line.exit_code;
  // CHIPFERRY_TRACE=FILE records the line around the backends; unset,
  // nothing of it is there.
  if (const char* trace = std::getenv("CHIPFERRY_TRACE"); trace != nullptr && *trace != '\0') {
    std::string error;
    if (!chipferry::trace::record(backends, trace, error)) {
      backends.console->diagnostic(error);
      return chipferry::kExitTraceFile;
    }
  }
  // The run's state holds the 64 KiB host buffer: keep it off the stack.
  auto session =
      std::make_unique<chipferry::Session>(*backends.serial, *backends.console, *backends.clock);
  const int code = chipferry::run_program(*session, line.steps);
  const chipferry::Stop stop = session->stop;
  // Before the process ends, however it ends: the console puts the
  // terminal back and erases its status line, the trace is completed.
  session.reset();
  backends = {};
  chipferry::end_as(stop);
  return code;
}
