// The programmer's short replies on the wire: the type code that answers
// the type query, and the status frame that ends a chip operation.
//
// Each of them, and the checksum reply, is a fixed number of bytes after
// the "[", read whole whatever comes: a byte that does not arrive reads as
// NUL, and a reply is compared only up to its first NUL, so a reply cut
// short compares unequal to every expected text. Comparisons fold A-Z only.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "session/session.h"

namespace chipferry {

/// A reply as it came: exactly as many characters as were read, NUL where a
/// byte did not arrive.
struct Reply {
  std::string bytes;
  /// What takes part in a comparison: the characters before the first NUL.
  std::string_view text() const { return std::string_view(bytes).substr(0, bytes.find('\0')); }
};

/// Reads the `length` bytes of a reply.
Reply read_reply(Session& s, size_t length);

/// Sends the type query and reads the type code, the '0's the programmer
/// pads it with in front taken off. Nothing when no "[" came.
std::optional<std::string> read_type_code(Session& s);

enum class StatusFrame {
  pass,         ///< "PASS]"
  error,        ///< "ERROR", with the code frame that followed it
  invalid,      ///< five characters of neither kind, a frame cut short included
  no_response,  ///< no "[" came, or the device went away
};

/// A status frame as it was judged, and after "ERROR" the code frame.
struct StatusReply {
  StatusFrame frame = StatusFrame::no_response;
  Reply code;  ///< after "ERROR" only
};

/// Waits for "[" and reads the five-character status frame; after "ERROR"
/// reads the code frame at once.
StatusReply read_status_frame(Session& s);

}  // namespace chipferry
