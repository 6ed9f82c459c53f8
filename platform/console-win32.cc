#include "platform/console-win32.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>

#include "platform/interrupt-win32.h"

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
// for a peek; elsewhere it changes nothing.
void let_console_gather_input() { WaitForSingleObject(GetStdHandle(STD_INPUT_HANDLE), 0); }

// The character a key press stands for, or -1 for an event that is none
// (a release, a mouse or focus event, a Shift or an arrow key). ESC counts
// by its virtual key: Wine's console, on a terminal, reports it with no
// character, and the CRT's _kbhit and _getch then never see it at all.
int key_of(const INPUT_RECORD& event) {
  if (event.EventType != KEY_EVENT || !event.Event.KeyEvent.bKeyDown) return -1;
  if (event.Event.KeyEvent.wVirtualKeyCode == VK_ESCAPE) return 0x1B;
  const auto c = static_cast<unsigned char>(event.Event.KeyEvent.uChar.AsciiChar);
  return c != 0 ? c : -1;
}

// True when a key press is waiting; it stays there for whoever reads next.
bool key_waiting() {
  INPUT_RECORD events[256];
  DWORD count = 0;
  if (!PeekConsoleInputA(GetStdHandle(STD_INPUT_HANDLE), events, 256, &count)) return false;
  for (DWORD i = 0; i < count; ++i) {
    if (key_of(events[i]) >= 0) return true;
  }
  return false;
}

// The console screen standard error writes to, or nothing when it goes to
// a pipe, a file or the NUL device.
HANDLE status_screen() {
  const HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  if (error == nullptr || error == INVALID_HANDLE_VALUE || !GetConsoleMode(error, &mode)) {
    return INVALID_HANDLE_VALUE;
  }
  return error;
}

// A Ctrl+C that ends a console read makes it return end of input on this
// thread before the console's handler, on its own thread, has taken note;
// this long is given to it before the end of input is believed.
constexpr DWORD kInterruptGraceMs = 500;

size_t screen_width(HANDLE screen) {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (!GetConsoleScreenBufferInfo(screen, &info)) return 80;
  const int width = info.srWindow.Right - info.srWindow.Left + 1;
  return width > 1 ? static_cast<size_t>(width) : 80;
}

}  // namespace

Win32Console::Win32Console() : console_(input_is_console()), screen_(status_screen()) {
  // Text mode would turn every "\n" into "\r\n", so a pipe or a file would
  // get other bytes than on Linux; a console shows bare LF line ends fine.
  _setmode(_fileno(stdout), _O_BINARY);
}

void Win32Console::write(std::string_view text) {
  erase_status();
  if (output_gone_) return;
  errno = 0;
  const bool written =
      std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && std::fflush(stdout) == 0;
  // The pipe's reader has gone: the runtime says EPIPE, the system
  // ERROR_NO_DATA (the pipe is being closed) or ERROR_BROKEN_PIPE.
  const DWORD error = GetLastError();
  if (!written && (errno == EPIPE || error == ERROR_NO_DATA || error == ERROR_BROKEN_PIPE)) {
    output_gone_ = true;
  }
}

Stop Win32Console::stop_requested() {
  if (const Stop stop = win32_interrupt::received(); stop != Stop::none) return stop;
  return output_gone_ ? Stop::output_gone : Stop::none;
}

bool Win32Console::read_input(std::string& piece) {
  erase_status();
  std::fflush(stdout);
  piece.clear();
  // The runtime's own buffer makes a character a call cheap.
  while (piece.size() < kInputPiece) {
    const int c = std::getchar();
    if (c == EOF) break;
    piece.push_back(static_cast<char>(c));
    if (c == '\n') return true;
  }
  if (!piece.empty()) return true;
  if (console_) {
    for (DWORD waited = 0; waited < kInterruptGraceMs && stop_requested() == Stop::none;
         waited += 10) {
      Sleep(10);
    }
  }
  return false;
}

void Win32Console::wait_key() {
  erase_status();
  std::fflush(stdout);
  if (!console_) return;
  // A short sleep between peeks keeps the wait off the processor; waiting
  // on the input handle instead would not, as a released key keeps it
  // signalled.
  while (!key_waiting() && stop_requested() == Stop::none) {
    let_console_gather_input();
    Sleep(10);
  }
}

void Win32Console::set_key_mode(bool) {}

int Win32Console::poll_key() {
  if (!console_) return -1;
  // A transfer asks after every byte. Each look costs a round trip to the
  // console (under Wine, to another process), enough to fall behind the
  // line; ten milliseconds between looks is still at once for a person.
  const ULONGLONG now = GetTickCount64();
  if (now - last_look_ < kLookIntervalMs) return -1;
  last_look_ = now;
  let_console_gather_input();
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  // Events that are no key press are taken and dropped on the way, and so
  // are keys without a character: the second code of a function or arrow
  // key must never pass for a key of its own (ESC).
  for (;;) {
    DWORD pending = 0;
    if (!GetNumberOfConsoleInputEvents(input, &pending) || pending == 0) return -1;
    INPUT_RECORD event;
    DWORD read = 0;
    if (!ReadConsoleInputA(input, &event, 1, &read) || read == 0) return -1;
    const int key = key_of(event);
    if (key >= 0) return key;
  }
}

bool Win32Console::has_keyboard() const { return console_; }

bool Win32Console::shows_status() const { return screen_ != INVALID_HANDLE_VALUE; }

void Win32Console::status(std::string_view line) {
  if (screen_ == INVALID_HANDLE_VALUE) return;
  line = line.substr(0, screen_width(screen_) - 1);
  // Blanks over what the old line had beyond the new one, and the cursor
  // back at the start: a console without escape sequences needs no more.
  std::string draw = "\r";
  draw += line;
  if (shown_.size() > line.size()) draw.append(shown_.size() - line.size(), ' ');
  draw += '\r';
  std::fflush(stdout);
  // The console's handler is told before the line appears and after it
  // has gone, so that a second Ctrl+C at any moment leaves nothing of it
  // standing.
  win32_interrupt::set_status_shown(screen_, std::max(shown_.size(), line.size()));
  DWORD written = 0;
  WriteFile(screen_, draw.data(), static_cast<DWORD>(draw.size()), &written, nullptr);
  shown_ = line;
  win32_interrupt::set_status_shown(screen_, shown_.size());
}

void Win32Console::diagnostic(std::string_view line) {
  erase_status();
  std::string text = "chipferry: ";
  text += line;
  text += '\n';
  std::fflush(stdout);
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

void Win32Console::erase_status() {
  if (!shown_.empty()) status({});
}

}  // namespace chipferry
