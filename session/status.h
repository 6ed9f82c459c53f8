// The status line: while the program waits (for the programmer's prompt,
// for a pause to end, for a block to move), one line on standard error
// says what it waits for, how far it has got, and how to get out. The
// console draws it only at a terminal and erases it before anything else
// is written or read (platform/console.h); here it is kept to a few
// redraws a second, since a transfer asks after every byte, and a line is
// drawn only when it differs from the one shown. That is decided here
// alone: the callers make the line they would show, the consoles draw
// what they are given.
#pragma once

#include <cstdint>
#include <string>

#include "session/session.h"

namespace chipferry {

/// How often the line may be redrawn: five times a second looks live and
/// costs nothing.
constexpr uint32_t kStatusIntervalMs = 200;

/// True when the line may be redrawn now: standard error is a terminal, and
/// none is shown or the last one was drawn kStatusIntervalMs ago or more.
bool status_due(Session& s);
/// Draws `line` at once; a line the same as the one shown is not drawn
/// again.
void show_status(Session& s, const std::string& line);
/// Erases the line, if one is shown.
void clear_status(Session& s);

/// A duration for a person: "12 s", "8 min 6 s".
std::string seconds_text(uint64_t seconds);

}  // namespace chipferry
