// chipferry: remote control of an Advantest SE4943 EPROM programmer on COM1.
#include <memory>

#include "app/program.h"
#include "platform/clock-posix.h"
#include "platform/console-posix.h"
#include "platform/serial-posix.h"

int main() {
  chipferry::PosixSerial serial;
  chipferry::PosixConsole console;
  chipferry::PosixClock clock;
  // The run's state holds the 64 KiB host buffer: keep it off the stack.
  auto session = std::make_unique<chipferry::Session>(serial, console, clock);
  return chipferry::run_program(*session);
}
