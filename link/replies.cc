#include "link/replies.h"

#include <cstring>

#include "link/port.h"
#include "link/protocol.h"
#include "link/timings.h"
#include "session/text.h"

namespace chipferry {
namespace {

using protocol::kFrameLength;
using protocol::kTypeCodeLength;

// Reads `length` bytes into the text buffer and terminates them.
void read_reply(Session& s, size_t length) {
  for (size_t i = 0; i < length; ++i) s.text[i] = static_cast<char>(read_byte(s));
  s.text[length] = '\0';
}

}  // namespace

bool read_type_code(Session& s) {
  send_string(s, protocol::kTypeQuery);
  s.clock.sleep_ms(timing::kCommandMs);
  if (!wait_bracket(s)) return false;
  read_reply(s, kTypeCodeLength);
  // No short name begins with the padding, so all of it goes.
  while (s.text[0] == protocol::kTypeCodePad) std::memmove(s.text, s.text + 1, kTypeCodeLength);
  return true;
}

StatusFrame read_status_frame(Session& s) {
  if (!wait_bracket(s)) return StatusFrame::no_response;
  read_reply(s, kFrameLength);
  // A frame cut off by a device that went away is no malformed reply.
  if (s.port.gone) return StatusFrame::no_response;
  if (equal_ignoring_case(s.text, protocol::kPass)) return StatusFrame::pass;
  if (equal_ignoring_case(s.text, protocol::kError)) {
    // The code frame follows directly, without a "[" of its own.
    read_reply(s, kFrameLength);
    return StatusFrame::error;
  }
  return StatusFrame::invalid;
}

}  // namespace chipferry
