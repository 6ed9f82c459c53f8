#include "app/program.h"

#include <array>
#include <cstring>

#include "catalogue/rom_list.h"
#include "link/port.h"
#include "link/timings.h"
#include "operations/chip_operations.h"
#include "session/console_io.h"
#include "transfer/file_options.h"

namespace chipferry {
namespace {

constexpr char kMenu[] =
    "\nSelect option:\n"
    "1. File->Buffer\n"
    "2. Buffer->File\n"
    "3. List ROM types\n"
    "4. Set ROM type\n"
    "5. ROM->Buffer (Dump)\n"
    "6. Compare ROM with Buffer\n"
    "7. Buffer->ROM (Program)\n"
    "8. Erase ROM (if supported)\n"
    "9. Blank check ROM\n"
    "(Q)uit\n";

struct MenuEntry {
  char key;
  Next (*run)(Session&);
};

constexpr MenuEntry kMenuEntries[] = {
    {'1', file_to_buffer},  {'2', buffer_to_file}, {'3', list_rom_types},
    {'4', select_rom_type}, {'5', dump_rom},       {'6', compare_rom},
    {'7', program_rom},     {'8', erase_rom},      {'9', blank_check_rom},
};

// A control character in caret notation (ESC as ^[, DEL as ^?): raw, the
// terminal would act on it, and an arrow key's ESC would swallow the
// message's next letters. Everything else as it was typed.
std::array<char, 3> shown_as_typed(int c) {
  if (c < 0x20 || c == 0x7F) return {'^', static_cast<char>(c ^ 0x40), '\0'};
  return {static_cast<char>(c), '\0', '\0'};
}

// Reads menu characters until one chooses something; returns where that
// leads.
Next menu_loop(Session& s) {
  for (;;) {
    const int c = read_char(s);
    // With no more input nothing can be chosen again: end as q does.
    if (c == kEndOfInput || c == 'q' || c == 'Q') return Next::end(kExitOk);
    if (c == '\n') continue;
    for (const MenuEntry& entry : kMenuEntries) {
      if (entry.key == c) return entry.run(s);
    }
    print(s, "Option %s does not exist, please try again.\n", shown_as_typed(c).data());
  }
}

Next wake_programmer(Session& s) {
  send_byte(s, kEsc);
  s.clock.sleep_ms(timing::kWakeUpMs);
  send_byte(s, kDc1);
  if (Next next = expect_prompt(s); !next.carries_on()) return next;
  send_string(s, "S900000 01\r");
  // Its answer is the next prompt; the menu waits for it.
  return Next::menu_after_prompt();
}

}  // namespace

Next enter_menu_after_prompt(Session& s) {
  const Next next = expect_prompt(s);
  return next.carries_on() ? Next::menu() : next;
}

int run_menu(Session& s, Next next) {
  for (;;) {
    switch (next.kind) {
      case Next::Kind::end:
        return next.exit_code;
      case Next::Kind::menu_after_prompt:
        next = enter_menu_after_prompt(s);
        break;
      case Next::Kind::carry_on:  // an option that ran to its end
      case Next::Kind::menu:
        print(s, "%s", kMenu);
        next = menu_loop(s);
        break;
    }
  }
}

int run_program(Session& s) {
  std::memset(s.text, 0, sizeof s.text);
  print(s,
        "Chipferry V0.4\n"
        "Transfer tool for Advantest SE4943 (1985), aka TR4943\n"
        "Written from the programmer's documented exchanges; no warranty.\n"
        "\n");

  int code = open_port(s);
  if (code == kExitOk) code = run_menu(s, wake_programmer(s));
  if (s.port.release_registered) release_device(s);
  return code;
}

}  // namespace chipferry
