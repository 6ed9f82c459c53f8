// The one line the programmer speaks, in figures: what every serial
// backend sets, what a port server is asked for, what a trace and a
// diagnostic name. The backends say it in their own system's words
// (B19200, CBR_19200); everything else takes the figures from here.
#pragma once

#include <chrono>
#include <cstdint>

namespace chipferry::line {

/// Bits per second.
constexpr uint32_t kBaud = 19200;
/// Data bits of a character; no parity bit follows them.
constexpr uint8_t kDataBits = 8;
/// Stop bits after each character.
constexpr uint8_t kStopBits = 1;
/// A character on the line: a start bit, the data bits and the stop bit.
constexpr uint32_t kBitsPerByte = 1 + kDataBits + kStopBits;
/// How long one byte takes on the line, rounded up so that a wait built
/// on it is never short: 521 microseconds at 19,200 baud.
constexpr std::chrono::microseconds kByteTime{(kBitsPerByte * 1'000'000 + kBaud - 1) / kBaud};
static_assert(kByteTime.count() == 521);

/// The line as a trace records it once it is set: "19200 8N1 rts/cts".
constexpr char kTraceText[] = "19200 8N1 rts/cts";
/// The line as a person reads it in a diagnostic.
constexpr char kPersonText[] = "19200 baud, 8N1, RTS/CTS";

}  // namespace chipferry::line
