// Moving one block between the host buffer and the device buffer, and the
// checksum query that confirms it.
//
// A block starts at host buffer position 0 and device address 0000 and is
// one transfer length L long, always one of the six capacities. Each of
// send_block, receive_block and check_block ends completed (carry_on),
// abandoned (the user pressed ESC: the menu after the next prompt), or
// failed (its message printed: the end of the run with its exit code).
#pragma once

#include <cstdint>

#include "session/session.h"

namespace chipferry {

/// How an upload ended, and the checksum of the bytes it sent.
struct Sent {
  Next next;
  uint16_t sum = 0;  ///< counts once `next` carries on
};

/// Host buffer 0..L-1 into the device buffer: upload command, preamble,
/// data, end-of-data break, prompt.
Sent send_block(Session& s, int32_t length);

/// The device buffer into the host buffer from position 0. Whatever number
/// of bytes arrived, the block is at 0..L-1 on completion; positions past
/// the last byte received keep what they held.
Next receive_block(Session& s, int32_t length);

/// The transfer checksum of host buffer 0..L-1.
uint16_t sum_block(const Session& s, int32_t length);

/// The checksum query for 0000..L-1, compared with `pc_sum`. Completed or
/// failed.
Next check_block(Session& s, int32_t length, uint16_t pc_sum);

}  // namespace chipferry
