#include "app/program.h"

#include <span>
#include <string>

#include "catalogue/rom_list.h"
#include "link/port.h"
#include "link/protocol.h"
#include "link/timings.h"
#include "operations/chip_operations.h"
#include "platform/printable.h"
#include "session/console_io.h"
#include "session/ending.h"
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
    // A control key in caret notation: raw, an arrow key's ESC would
    // swallow the message's next letters.
    print(s, "Option %s does not exist, please try again.\n",
          printable(std::string(1, static_cast<char>(c))).c_str());
  }
}

Next wake_programmer(Session& s) {
  recover_left_upload(s);
  send_byte(s, protocol::kEsc);
  s.clock.sleep_ms(timing::kWakeUpMs);
  send_byte(s, protocol::kDc1);
  if (Next next = expect_prompt(s); !next.carries_on()) return next;
  send_string(s, protocol::kStartUp);
  // Its answer is the next prompt; the menu waits for it.
  return Next::menu_after_prompt();
}

// Waits for the command prompt, then shows the menu; an option that
// failed on the way still says so.
Next enter_menu_after_prompt(Session& s, const Next& failed) {
  const Next next = expect_prompt(s);
  return next.carries_on() ? Next::menu(failed.exit_code) : next;
}

// Where a run of steps goes once the last step has come back to where the
// menu would be shown: on to the next one, or to the end once a step has
// failed or none is left.
Next next_step(Session& s, const Next& back, std::span<const Step>& steps) {
  if (back.exit_code != kExitOk) return Next::end(back.exit_code);
  if (steps.empty()) return Next::end(kExitOk);
  const Step& step = steps.front();
  steps = steps.subspan(1);
  return run_step(s, step);
}

// Runs menus and operations from `next` on until the run ends; returns the
// exit code. Every step comes back here, so this is where a run that must
// end, or whose port has gone, stops going on. With steps, each takes the
// place of a choice at the menu, which is never shown.
int run_menu(Session& s, Next next, std::span<const Step> steps) {
  const bool menu = steps.empty();
  for (;;) {
    if (must_end(s)) return ended_early(s).exit_code;
    if (s.port.gone && next.kind != Next::Kind::end) next = no_response(s);
    switch (next.kind) {
      case Next::Kind::end:
        return next.exit_code;
      case Next::Kind::menu_after_prompt:
        next = enter_menu_after_prompt(s, next);
        break;
      case Next::Kind::carry_on:  // an option that ran to its end
      case Next::Kind::menu:
        if (!menu) {
          next = next_step(s, next, steps);
          break;
        }
        print(s, "%s", kMenu);
        next = menu_loop(s);
        break;
    }
  }
}

}  // namespace

int run_program(Session& s, std::span<const Step> steps) {
  // A run of steps reads no key: standard input is not its to read.
  s.reads_keys = steps.empty();
  print(s,
        "Chipferry V0.4\n"
        "Transfer tool for Advantest SE4943 (1985), aka TR4943\n"
        "Written from the programmer's documented exchanges; no warranty.\n"
        "\n");

  int code = open_port(s);
  if (code == kExitOk) code = run_menu(s, wake_programmer(s), steps);
  if (s.port.release_registered) {
    release_device(s);
    // The release may be the first to find the device gone (the adapter
    // pulled at the menu): the programmer was handed back to nobody, and
    // the run ends as every run whose port went away does.
    if (code == kExitOk && s.port.gone) code = no_response(s).exit_code;
  }
  // Also when the request came only during the release: the run still ends
  // as asked.
  if (must_end(s)) code = ended_early(s).exit_code;
  return code;
}

}  // namespace chipferry
