// Every pause, time-out and retry count of the exchange with the
// programmer, in one table, each with why it is there. The code uses these
// names and so do the tests that assert the pauses, so a change here is a
// change of the protocol and shows in both.
#pragma once

#include <cstdint>

namespace chipferry::timing {

// --- The line ---------------------------------------------------------

/// A one-byte read or write gives up after this long: ten milliseconds for
/// the byte and fifty to spare. A silent read and a write held back by CTS
/// both end here, neither as a failure.
constexpr uint32_t kByteTimeoutMs = 60;

/// The waits for a prompt or a "[": this many attempts, each failed one
/// followed by a pause, so that a silent programmer is given up after about
/// eight minutes (3600 x (60 + 75) ms), long enough for any operation.
constexpr int kWaitAttempts = 3600;
constexpr uint32_t kWaitRetryMs = 75;
/// The longest such a wait lasts on a silent line, as the status line
/// tells it.
constexpr uint32_t kLongestWaitMs = kWaitAttempts * (kByteTimeoutMs + kWaitRetryMs);
/// A wait is named on the status line once it has lasted this long: the
/// prompt that comes at once is no news.
constexpr uint32_t kWaitShownAfterMs = 1000;

// --- Start and end of the run ------------------------------------------

/// Between the wake-up's ESC and DC1: ESC stops whatever the programmer was
/// doing, DC1 asks for its prompt once it has.
constexpr uint32_t kWakeUpMs = 50;

/// The release at the end of the run: after its ESC, and after its CR,
/// so that both have left before the port closes.
constexpr uint32_t kReleaseMs = 100;

// --- Commands ----------------------------------------------------------

/// After a command line (the type query, an operation command, the upload):
/// the programmer's time to take it in before anything more is sent or read.
constexpr uint32_t kCommandMs = 100;

/// After the ESC that acknowledges an error code, before its prompt is
/// looked for.
constexpr uint32_t kEscAfterErrorMs = 200;

/// Before the first status frame is looked for, by transfer length: the
/// chip operation's own time on the chip.
constexpr uint32_t dump_pause(int32_t length) { return static_cast<uint32_t>(length / 256 + 1000); }
/// Compare and blank check read the chip once.
constexpr uint32_t check_pause(int32_t length) {
  return static_cast<uint32_t>(length / 16384 + 500);
}
/// Programming takes five milliseconds a byte.
constexpr uint32_t program_pause(int32_t length) { return static_cast<uint32_t>(length) * 5u; }

// --- Transfers -----------------------------------------------------------

/// An upload ends on a break: the line is quiet this long after the last
/// data byte, then held in the break state this long.
constexpr uint32_t kBeforeBreakMs = 200;
constexpr uint32_t kBreakMs = 500;

/// After the ESC that abandons a transfer, before the prompt is looked for:
/// the programmer's time to stop. An upload is first ended by a break.
constexpr uint32_t kAbandonUploadMs = 500;
constexpr uint32_t kAbandonPreambleMs = 5000;
constexpr uint32_t kAbandonDataMs = 2000;

/// The programmer sums the block before it answers the checksum query:
/// 700 ms, and one more for every whole 16 KiB.
constexpr uint32_t checksum_pause(int32_t length) {
  return 700 + static_cast<uint32_t>(length / 16384);
}

}  // namespace chipferry::timing
