#include "app/program.h"

#include <string>
#include <string_view>

#include "catalogue/rom_list.h"
#include "chipferry/version.h"
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

// Waits for the command prompt, then shows the menu.
Next enter_menu_after_prompt(Session& s) {
  const Next next = expect_prompt(s);
  return next.carries_on() ? Next::menu() : next;
}

// Runs menus and operations from `next` on until the run ends; returns the
// exit code. Every step comes back here, so this is where a run that must
// end, or whose port has gone, stops going on.
int run_menu(Session& s, Next next) {
  for (;;) {
    if (must_end(s)) return ended_early(s).exit_code;
    if (s.port.gone && next.kind != Next::Kind::end) next = no_response(s);
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

}  // namespace

std::optional<int> answer_arguments(int argc, const char* const* argv, Console& console,
                                    const char* com1_default) {
  if (argc != 2) return std::nullopt;
  const std::string_view argument = argv[1];
  if (argument == "--version") {
    console.write("chipferry " CHIPFERRY_VERSION "\n");
    return kExitOk;
  }
  if (argument != "--help") return std::nullopt;
  std::string usage =
      "Usage: chipferry [--help | --version]\n"
      "\n"
      "Remote control for an Advantest SE4943 (TR4943) EPROM programmer on the\n"
      "serial port COM1, from a numbered menu: load an image file into the\n"
      "programmer's buffer, save the buffer to a file, set the ROM type, and\n"
      "start the chip operations (dump, compare, program, erase, blank check).\n"
      "Image files: raw, Intel HEX or Motorola S-record (.hex, .s19 and the like).\n"
      "\n"
      "COM1 is the device named by the environment variable CHIPFERRY_COM1,\n"
      "or ";
  usage += com1_default;
  usage +=
      " when it is not set.\n"
      "A port on another machine, served by ser2net or another RFC 2217\n"
      "server, is CHIPFERRY_COM1=rfc2217://HOST:PORT.\n"
      "\n"
      "At a terminal, a status line on standard error tells what the program\n"
      "waits for. Ctrl+C hands the programmer back and ends the run; a second\n"
      "Ctrl+C ends it at once.\n"
      "\n"
      "Exit status:\n"
      "  0  quit, or input ended at the menu\n";
  for (const PortFailure& failure : kPortFailures) {
    usage += "  " + std::to_string(failure.exit_code) + "  " + failure.meaning + "\n";
  }
  usage +=
      "  6  the programmer did not answer, or a download ended wrongly\n"
      "  7  a malformed reply, or the checksums differ\n"
      "  8  input ended before a received image was saved\n"
      "  9  the trace file (CHIPFERRY_TRACE) cannot be created\n"
      "  129  SIGHUP (the terminal closed), 130 Ctrl+C, 131 SIGQUIT, 143 SIGTERM:\n"
      "       the run ended as the signal asks, once the programmer was handed\n"
      "       back (on Windows a Ctrl+C or a closed console gives Ctrl+C's code)\n"
      "  141  standard output was closed (its reader went away); the programmer\n"
      "       was handed back\n"
      "\n"
      "More in the manual: man chipferry (README.txt in the Windows zip).\n";
  console.write(usage);
  return kExitOk;
}

int run_program(Session& s) {
  print(s,
        "Chipferry V0.4\n"
        "Transfer tool for Advantest SE4943 (1985), aka TR4943\n"
        "Written from the programmer's documented exchanges; no warranty.\n"
        "\n");

  int code = open_port(s);
  if (code == kExitOk) code = run_menu(s, wake_programmer(s));
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
