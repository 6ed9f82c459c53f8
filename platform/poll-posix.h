// One wait on a descriptor, bounded by a deadline that a signal does not
// move: the serial port's and the network connection's.
#pragma once

#include <poll.h>

#include <cerrno>

#include "platform/deadline.h"

namespace chipferry {

/// Waits for `events` on `fd` until `deadline`. The events seen, 0 on
/// time-out; a hang-up shows as POLLHUP or POLLERR.
inline short wait_for(int fd, short events, const Deadline& deadline) {
  for (;;) {
    pollfd p{fd, events, 0};
    const int n = poll(&p, 1, static_cast<int>(deadline.left_ms()));
    if (n > 0) return p.revents;
    if (n == 0) return 0;
    if (errno != EINTR) return POLLERR;
  }
}

}  // namespace chipferry
