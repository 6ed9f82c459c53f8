#include "session/status.h"

namespace chipferry {

bool status_due(Session& s) {
  if (!s.console.shows_status()) return false;
  return s.status.line.empty() || s.clock.now_ms() - s.status.drawn_at_ms >= kStatusIntervalMs;
}

void show_status(Session& s, const std::string& line) {
  if (line == s.status.line) return;
  s.console.status(line);
  s.status.line = line;
  s.status.drawn_at_ms = s.clock.now_ms();
}

void clear_status(Session& s) {
  if (s.status.line.empty()) return;
  s.console.status({});
  s.status.line.clear();
}

std::string seconds_text(uint64_t seconds) {
  if (seconds < 60) return std::to_string(seconds) + " s";
  return std::to_string(seconds / 60) + " min " + std::to_string(seconds % 60) + " s";
}

}  // namespace chipferry
