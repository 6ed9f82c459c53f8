#include "catalogue/rom_list.h"

#include "catalogue/catalogue.h"
#include "link/port.h"
#include "link/protocol.h"
#include "session/console_io.h"

namespace chipferry {
namespace {

constexpr int kEntriesPerLine = 3;

constexpr const char* kHeadings[kSizeClassCount] = {
    "---------------------------  2 kilobyte ROMs ---------------------------\n",
    "---------------------------  4 kilobyte ROMs ---------------------------\n",
    "---------------------------  8 kilobyte ROMs ---------------------------\n",
    "--------------------------- 16 kilobyte ROMs ---------------------------\n",
    "--------------------------- 32 kilobyte ROMs ---------------------------\n",
    "--------------------------- 64 kilobyte ROMs ---------------------------\n",
};

}  // namespace

Next list_rom_types(Session& s) {
  print(s, "\nROM Chip   Volt.  Type | ROM Chip   Volt.  Type | ROM Chip   Volt.  Type |\n");
  print(s, "%s", kHeadings[0]);
  int on_line = 0;
  for (size_t row = 0; row < kRomTypeCount; ++row) {
    const RomType& type = kRomTypes[row];
    print(s, "%-10s %-6s %-4s | ", type.full_name, voltage_of(type), type.short_name);
    ++on_line;
    if (on_line % kEntriesPerLine == 0) print(s, "\n");
    // A heading wherever the size class changes; the table is grouped, so
    // each heading appears once.
    if (row + 1 < kRomTypeCount && kRomTypes[row + 1].size_class != type.size_class) {
      if (on_line % kEntriesPerLine != 0) print(s, "\n");
      print(s, "%s", kHeadings[kRomTypes[row + 1].size_class]);
      on_line = 0;
    }
  }
  print(s, "\nPress any key to continue\n");
  discard_pending_input(s);
  s.console.wait_key();
  discard_pending_input(s);
  return Next::menu();
}

Next select_rom_type(Session& s) {
  discard_pending_input(s);
  print(s, "Enter ROM type (full or short name)\n");
  const Typed word = read_word(s);
  // Without a word there is nothing to look up; the menu then meets the
  // same end of input and ends the run.
  if (word.result == ReadResult::ended) return Next::menu();

  // No name is anywhere near kLongestTyped characters, so a word cut to
  // that must not match on what was kept.
  const RomType* type = word.result == ReadResult::ok ? rom_type_named(word.text) : nullptr;
  if (type == nullptr) {
    print(s, "%s", kUnknownRomType);
    return Next::menu();
  }
  return set_rom_type(s, *type);
}

Next set_rom_type(Session& s, const RomType& type) {
  print(s, "Type:%s Voltage:%s Short name:%s\n", type.full_name, voltage_of(type), type.short_name);
  send_byte(s, protocol::kSelectType);
  send_string(s, type.short_name);
  send_byte(s, protocol::kCr);
  discard_pending_input(s);
  return Next::menu();
}

}  // namespace chipferry
