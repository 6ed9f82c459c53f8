#include "operations/sequence.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <string_view>

#include "catalogue/catalogue.h"
#include "catalogue/type_query.h"
#include "link/port.h"
#include "link/protocol.h"
#include "link/replies.h"
#include "link/timings.h"
#include "session/console_io.h"
#include "session/ending.h"
#include "session/status.h"
#include "session/text.h"

namespace chipferry {
namespace {

bool is_failure_code(std::string_view code) {
  return std::ranges::any_of(protocol::kFailureCodes, [code](const char* failure) {
    return equal_ignoring_case(code, failure);
  });
}

// Only an empty socket (#06) leaves the programmer at its prompt by itself;
// every other error waits for an ESC.
Next act_on_code_frame(Session& s, const ChipOperation& op, const Reply& code) {
  const std::string_view text = code.text();
  if (equal_ignoring_case(text, protocol::kNoContact)) {
    print(s, "Operation failed!\nCheck chip contacts!\n");
    discard_pending_input(s);
    return Next::menu_after_prompt(kExitChipOperation);
  }
  if (is_failure_code(text)) {
    print(s, "%s", op.failure_message);
  } else if (op.extra_code != nullptr && equal_ignoring_case(text, op.extra_code->frame)) {
    print(s, "%s", op.extra_code->message);
  } else {
    print(s, "Unexpected error #%c%c\n", code.bytes[2], code.bytes[3]);
  }
  send_byte(s, protocol::kEsc);
  s.clock.sleep_ms(timing::kEscAfterErrorMs);
  return Next::menu_after_prompt(kExitChipOperation);
}

// The pause is the chip's own time, up to five minutes for programming a
// 64 KiB chip: the status line counts it in seconds, as one pause, and a
// run that must end does not sit it out (the status frame's wait then
// ends it).
void pause_for_chip(Session& s, const char* activity, uint32_t pause_ms) {
  const std::string of = " of " + seconds_text(std::max<uint32_t>((pause_ms + 500) / 1000, 1));
  auto draw = [&](uint32_t slept_ms) {
    if (status_due(s)) show_status(s, activity + (": " + seconds_text(slept_ms / 1000)) + of);
  };
  draw(0);
  // Where nobody sees the line, the pause need not wake for it.
  s.clock.sleep_ms_ticking(pause_ms, s.console.shows_status() ? kStatusIntervalMs : 0, draw,
                           [&s] { return must_end(s); });
  clear_status(s);
}

// Prints `prompt` and reads one word, without discarding what was typed
// ahead: a word on the menu line answers at once. True when it equals
// `word`, ignoring the case of A-Z. A word too long to be kept whole, or
// the end of input, refuses.
bool ask_confirmation(Session& s, const char* prompt, const char* word) {
  print(s, "%s", prompt);
  const Typed typed = read_word(s);
  return typed.result == ReadResult::ok && equal_ignoring_case(typed.text, word);
}

// Programming burns the whole chip from the device buffer. Of an image
// loaded in this run that is shorter than the chip, the rest of the chip
// takes whatever the buffer held before, which an EPROM keeps until it
// meets an eraser: said before the user confirms.
void name_short_image(Session& s, const RomType& chip) {
  const int32_t image = s.loaded_image_length;
  const int32_t capacity = capacity_of(chip.size_class);
  if (image == 0 || image >= capacity) return;
  char line[200];
  std::snprintf(line, sizeof line,
                "the image loaded is %d bytes; a %s holds %d, so %04X-%04X will be programmed "
                "from what the programmer's buffer held before",
                static_cast<int>(image), chip.full_name, static_cast<int>(capacity),
                static_cast<unsigned>(image), static_cast<unsigned>(capacity - 1));
  diagnose(s, line);
}

}  // namespace

Next run_chip_operation(Session& s, const ChipOperation& op, Confirmed confirmed) {
  if (op.uses_type_query) {
    const QueriedType queried = query_rom_type(s);
    if (!queried.next.carries_on()) return queried.next;
    s.transfer_length = queried.length_or(s.transfer_length);
    if (Next next = expect_prompt(s); !next.carries_on()) return next;
    if (op.burns_device_buffer && queried.type != nullptr) name_short_image(s, *queried.type);
  }
  if (op.confirmation != nullptr && confirmed == Confirmed::not_yet &&
      !ask_confirmation(s, op.confirmation->prompt, op.confirmation->word)) {
    return Next::menu();
  }

  if (op.fills_device_buffer) s.loaded_image_length = 0;
  send_string(s, op.command);
  s.clock.sleep_ms(timing::kCommandMs);
  if (Next next = expect_prompt(s); !next.carries_on()) return next;

  send_string(s, protocol::kExecute);
  if (op.pause_after_execute != nullptr) {
    pause_for_chip(s, op.activity, op.pause_after_execute(s.transfer_length));
  }

  for (int frame = 0; frame < op.status_frames; ++frame) {
    const StatusReply reply = read_status_frame(s);
    switch (reply.frame) {
      case StatusFrame::pass:
        break;
      case StatusFrame::error:
        return act_on_code_frame(s, op, reply.code);
      case StatusFrame::invalid:
        print(s, "Invalid Response\n");
        return Next::end(kExitInvalidResponse);
      case StatusFrame::no_response:
        return no_response(s);
    }
  }

  const Next closed =
      op.closing_wait == ClosingWait::bracket ? expect_bracket(s) : expect_prompt(s);
  if (!closed.carries_on()) return closed;
  discard_pending_input(s);
  return Next::menu();
}

}  // namespace chipferry
