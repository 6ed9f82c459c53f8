#include "link/replies.h"

#include <cstring>

#include "app/input.h"
#include "app/output.h"
#include "catalogue/catalogue.h"
#include "link/port.h"
#include "operations/chip_operations.h"

namespace chipferry {
namespace {

constexpr size_t kTypeCodeLength = 4;
constexpr size_t kFrameLength = 5;
constexpr uint32_t kCommandPauseMs = 100;
constexpr uint32_t kEscPauseMs = 200;

// Reads `length` bytes into the text buffer and terminates them. A byte
// that does not arrive reads as NUL, so a reply cut short compares unequal
// to every expected text.
void read_reply(Session& s, size_t length) {
  for (size_t i = 0; i < length; ++i) s.text[i] = static_cast<char>(read_byte(s));
  s.text[length] = '\0';
}

// The code frames that mean the operation itself failed on the chip.
constexpr const char* kFailureCodes[] = {" #10]", " #11]", " #12]", " #13]",
                                         " #14]", " #15]", " #16]", " #17]"};

bool is_failure_code(const char* code) {
  for (const char* failure : kFailureCodes) {
    if (equal_ignoring_case(code, failure)) return true;
  }
  return false;
}

Next no_response(Session& s) {
  print(s, "No Response\n");
  return Next::end(kExitNoResponse);
}

// The code frame is in s.text. Only an empty socket (#06) leaves the
// programmer at its prompt by itself; every other error waits for an ESC.
Next act_on_code_frame(Session& s, const ChipOperation& op) {
  const char* code = s.text;
  if (equal_ignoring_case(code, " #06]")) {
    print(s, "Operation failed!\nCheck chip contacts!\n");
    discard_pending_input(s);
    return Next::menu_after_prompt();
  }
  if (is_failure_code(code)) {
    print(s, "%s", op.failure_message);
  } else if (op.extra_code != nullptr && equal_ignoring_case(code, op.extra_code->frame)) {
    print(s, "%s", op.extra_code->message);
  } else {
    print(s, "Unexpected error #%c%c\n", code[2], code[3]);
  }
  send_byte(s, kEsc);
  s.clock.sleep_ms(kEscPauseMs);
  return Next::menu_after_prompt();
}

}  // namespace

bool query_rom_type(Session& s) {
  send_string(s, "R\r");
  s.clock.sleep_ms(kCommandPauseMs);
  if (!wait_bracket(s)) return false;
  read_reply(s, kTypeCodeLength);
  // The programmer pads short names with '0' in front; no short name
  // begins with one, so all of them go.
  while (s.text[0] == '0') std::memmove(s.text, s.text + 1, kTypeCodeLength);
  const RomType* type = find_rom_type(s.text, NameColumn::short_name);
  if (type != nullptr && type->size_class < kSizeClassCount) {
    s.transfer_length = capacity_of(type->size_class);
  }
  return true;
}

StatusFrame read_status_frame(Session& s) {
  if (!wait_bracket(s)) return StatusFrame::no_response;
  read_reply(s, kFrameLength);
  if (equal_ignoring_case(s.text, "PASS]")) return StatusFrame::pass;
  if (equal_ignoring_case(s.text, "ERROR")) {
    // The code frame follows directly, without a "[" of its own.
    read_reply(s, kFrameLength);
    return StatusFrame::error;
  }
  return StatusFrame::invalid;
}

Next run_chip_operation(Session& s, const ChipOperation& op) {
  if (op.uses_type_query) {
    if (!query_rom_type(s)) return no_response(s);
    if (!wait_command_prompt(s)) return no_response(s);
  }
  if (op.confirmation != nullptr &&
      !ask_confirmation(s, op.confirmation->prompt, op.confirmation->word)) {
    return Next::menu();
  }

  send_string(s, op.command);
  s.clock.sleep_ms(kCommandPauseMs);
  if (!wait_command_prompt(s)) return no_response(s);

  send_string(s, "P\r");
  if (op.pause_after_execute != nullptr) {
    s.clock.sleep_ms(op.pause_after_execute(s.transfer_length));
  }

  for (int frame = 0; frame < op.status_frames; ++frame) {
    switch (read_status_frame(s)) {
      case StatusFrame::pass:
        break;
      case StatusFrame::error:
        return act_on_code_frame(s, op);
      case StatusFrame::invalid:
        print(s, "Invalid Response\n");
        return Next::end(kExitInvalidResponse);
      case StatusFrame::no_response:
        return no_response(s);
    }
  }

  const int closed =
      op.closing_wait == ClosingWait::bracket ? wait_bracket(s) : wait_command_prompt(s);
  if (!closed) return no_response(s);
  discard_pending_input(s);
  return Next::menu();
}

}  // namespace chipferry
