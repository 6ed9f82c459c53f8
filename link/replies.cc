#include "link/replies.h"

#include <cstring>

#include "link/port.h"
#include "link/timings.h"
#include "session/text.h"

namespace chipferry {
namespace {

constexpr size_t kTypeCodeLength = 4;
constexpr size_t kFrameLength = 5;

// Reads `length` bytes into the text buffer and terminates them.
void read_reply(Session& s, size_t length) {
  for (size_t i = 0; i < length; ++i) s.text[i] = static_cast<char>(read_byte(s));
  s.text[length] = '\0';
}

}  // namespace

bool read_type_code(Session& s) {
  send_string(s, "R\r");
  s.clock.sleep_ms(timing::kCommandMs);
  if (!wait_bracket(s)) return false;
  read_reply(s, kTypeCodeLength);
  // No short name begins with '0', so all of them go.
  while (s.text[0] == '0') std::memmove(s.text, s.text + 1, kTypeCodeLength);
  return true;
}

StatusFrame read_status_frame(Session& s) {
  if (!wait_bracket(s)) return StatusFrame::no_response;
  read_reply(s, kFrameLength);
  // A frame cut off by a device that went away is no malformed reply.
  if (s.port.gone) return StatusFrame::no_response;
  if (equal_ignoring_case(s.text, "PASS]")) return StatusFrame::pass;
  if (equal_ignoring_case(s.text, "ERROR")) {
    // The code frame follows directly, without a "[" of its own.
    read_reply(s, kFrameLength);
    return StatusFrame::error;
  }
  return StatusFrame::invalid;
}

}  // namespace chipferry
