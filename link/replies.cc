#include "link/replies.h"

#include "link/port.h"
#include "link/protocol.h"
#include "link/timings.h"
#include "session/text.h"

namespace chipferry {

using protocol::kFrameLength;

Reply read_reply(Session& s, size_t length) {
  Reply reply{std::string(length, '\0')};
  for (char& c : reply.bytes) c = static_cast<char>(read_byte(s).value_or(0));
  return reply;
}

std::optional<std::string> read_type_code(Session& s) {
  send_string(s, protocol::kTypeQuery);
  s.clock.sleep_ms(timing::kCommandMs);
  if (!wait_bracket(s)) return std::nullopt;
  std::string code(read_reply(s, protocol::kTypeCodeLength).text());
  // No short name begins with the padding, so all of it goes.
  code.erase(0, code.find_first_not_of(protocol::kTypeCodePad));
  return code;
}

StatusReply read_status_frame(Session& s) {
  if (!wait_bracket(s)) return {};
  const Reply frame = read_reply(s, kFrameLength);
  // A frame cut off by a device that went away is no malformed reply.
  if (s.port.gone) return {};
  if (equal_ignoring_case(frame.text(), protocol::kPass)) return {StatusFrame::pass, {}};
  if (equal_ignoring_case(frame.text(), protocol::kError)) {
    // The code frame follows directly, without a "[" of its own.
    return {StatusFrame::error, read_reply(s, kFrameLength)};
  }
  return {StatusFrame::invalid, {}};
}

}  // namespace chipferry
