#include "platform/console-win32.h"

#include <conio.h>
#include <io.h>
#include <windows.h>

#include <cstdio>

namespace chipferry {

namespace {

// True when standard input is the console keyboard. _isatty alone also
// holds for the NUL device, on which a key wait would never end.
bool input_is_console() {
  DWORD mode = 0;
  return _isatty(0) != 0 && GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

// A zero wait on the console input handle. Consoles that gather input only
// when someone waits for it (Wine's, on a terminal) then have the key ready
// for _kbhit; elsewhere it changes nothing.
void let_console_gather_input() { WaitForSingleObject(GetStdHandle(STD_INPUT_HANDLE), 0); }

}  // namespace

Win32Console::Win32Console() : console_(input_is_console()) {}

void Win32Console::write(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

bool Win32Console::read_line(std::string& line) {
  std::fflush(stdout);
  line.clear();
  int c = std::getchar();
  if (c == EOF) return false;
  for (; c != EOF && c != '\n'; c = std::getchar()) {
    if (c != '\r') line.push_back(static_cast<char>(c));
  }
  return true;
}

void Win32Console::wait_key() {
  std::fflush(stdout);
  if (!console_) return;
  // _kbhit only peeks, so the key stays for whoever reads next. A short
  // sleep between peeks keeps the wait off the processor; waiting on the
  // input handle instead would not, as a released key keeps it signalled.
  while (!_kbhit()) {
    let_console_gather_input();
    Sleep(10);
  }
}

void Win32Console::set_key_mode(bool) {}

int Win32Console::poll_key() {
  if (!console_) return -1;
  let_console_gather_input();
  if (!_kbhit()) return -1;
  const int key = _getch();
  // Function and arrow keys come as a prefix and a second code; take both,
  // so that the second code is never mistaken for a key of its own (ESC).
  if ((key == 0 || key == 0xE0) && _kbhit()) _getch();
  return key;
}

}  // namespace chipferry
