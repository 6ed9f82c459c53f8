// Moving one block between the host buffer and the device buffer, and the
// checksum query that confirms it.
//
// A block starts at host buffer position 0 and device address 0000 and is
// one transfer length L long, always one of the six capacities. Each of
// send_block, receive_block and check_block ends completed, abandoned (the
// user pressed ESC; the caller goes on at the menu after the next prompt),
// or failed (its message is printed; the caller ends the run with
// exit_code). Nothing here ends the run itself.
#pragma once

#include <cstdint>

#include "app/session.h"

namespace chipferry {

enum class BlockEnd { completed, abandoned, failed };

struct BlockResult {
  BlockEnd end = BlockEnd::completed;
  int exit_code = kExitOk;  ///< when failed
  uint16_t sum = 0;         ///< send_block: the checksum of the bytes sent
  int32_t received = 0;     ///< receive_block: bytes stored (R)
};

/// Where a menu option goes after a block that did not complete.
Next next_after(const BlockResult& result);

/// Host buffer 0..L-1 into the device buffer: upload command, preamble,
/// data, end-of-data break, prompt.
BlockResult send_block(Session& s, int32_t length);

/// The device buffer into the host buffer from position 0. Whatever R was,
/// the block is at 0..L-1 on completion; positions from R on keep what
/// they held.
BlockResult receive_block(Session& s, int32_t length);

/// The transfer checksum of host buffer 0..L-1.
uint16_t sum_block(const Session& s, int32_t length);

/// The checksum query for 0000..L-1, compared with `pc_sum`. Completed or
/// failed.
BlockResult check_block(Session& s, int32_t length, uint16_t pc_sum);

}  // namespace chipferry
