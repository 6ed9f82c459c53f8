#include "session/ending.h"

namespace chipferry {

bool must_end(Session& s) {
  if (s.stop == Stop::none) s.stop = s.console.stop_requested();
  return s.stop != Stop::none;
}

Next ended_early(const Session& s) { return Next::end(stop_status(s.stop)); }

void pause_unless_ending(Session& s, uint32_t ms) {
  s.clock.sleep_ms_ticking(ms, 0, {}, [&s] { return must_end(s); });
}

}  // namespace chipferry
