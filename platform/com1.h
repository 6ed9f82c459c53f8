// Which device COM1 stands for. The program always talks to COM1 and
// names it so in its messages; a user whose programmer hangs on another
// port, a USB adapter or a simulator's pseudo-terminal, names that device
// in CHIPFERRY_COM1.
#pragma once

#include <cstdlib>
#include <string>

namespace chipferry {

/// The device CHIPFERRY_COM1 names, or `usual` when it is unset or empty.
inline std::string com1_device(const char* usual) {
  const char* named = std::getenv("CHIPFERRY_COM1");
  return named != nullptr && *named != '\0' ? named : usual;
}

}  // namespace chipferry
