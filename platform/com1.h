// Which device COM1 stands for. The program always talks to COM1 and
// names it so in its messages; a user whose programmer hangs on another
// port, a USB adapter or a simulator's pseudo-terminal, names that device
// in CHIPFERRY_COM1.
#pragma once

#include <cstdlib>
#include <string>

namespace chipferry {

/// The device CHIPFERRY_COM1 names, or `usual` when it is not set at all.
/// Set but empty (CHIPFERRY_COM1=$PORT with PORT unset, say), it names no
/// device, "", and the backends open nothing: the machine's usual port
/// could be the wrong one, with a programmer of its own on it.
inline std::string com1_device(const char* usual) {
  const char* named = std::getenv("CHIPFERRY_COM1");
  return named != nullptr ? named : usual;
}

/// What the backends say of an empty CHIPFERRY_COM1, as the reason the
/// port does not exist and the way out.
constexpr char kCom1Empty[] = "CHIPFERRY_COM1 is set but empty";
inline std::string com1_empty_advice(const char* usual) {
  return std::string("name the device in it, or unset it to use ") + usual;
}

}  // namespace chipferry
