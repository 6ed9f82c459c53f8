#include "transfer/block.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <optional>
#include <string>

#include "link/port.h"
#include "link/protocol.h"
#include "link/replies.h"
#include "link/timings.h"
#include "session/console_io.h"
#include "session/ending.h"
#include "session/status.h"

namespace chipferry {
namespace {

using protocol::kDataStart;
using protocol::kMostZeros;
using protocol::kTrailer;

constexpr int32_t kFullBuffer = static_cast<int32_t>(kHostBufferSize);
// How long one look at the output queue lasts, between looks for ESC.
constexpr uint32_t kDrainSliceMs = 50;
constexpr int32_t kTrailerSize = sizeof kTrailer;
// The key that abandons a transfer, as the keyboard reports it.
constexpr int kEscKey = 0x1B;

// Keys are read one at a time, without echo, only while a block moves;
// every way out of the block puts the keyboard back. A run that reads no
// keys leaves the keyboard as it is.
class KeyMode {
 public:
  explicit KeyMode(Session& s) : s_(s) {
    if (s_.reads_keys) s_.console.set_key_mode(true);
  }
  ~KeyMode() {
    if (s_.reads_keys) s_.console.set_key_mode(false);
  }
  KeyMode(const KeyMode&) = delete;
  KeyMode& operator=(const KeyMode&) = delete;

 private:
  Session& s_;
};

// The status line of a transfer: bytes moved of the block, the rate and
// the time left once the data has flowed for a second, and the way out
// when there is a keyboard to press it on.
class TransferStatus {
 public:
  TransferStatus(Session& s, const char* moving, int32_t length)
      : s_(s), moving_(moving), length_(length) {}
  ~TransferStatus() { clear_status(s_); }
  TransferStatus(const TransferStatus&) = delete;
  TransferStatus& operator=(const TransferStatus&) = delete;

  void update(int32_t moved) {
    if (!s_.console.shows_status()) return;
    // The rate counts from the first byte: a download's preamble may keep
    // it waiting for as long as the programmer likes.
    if (moved > 0 && first_moved_ == 0) {
      first_moved_ = moved;
      first_ms_ = s_.clock.now_ms();
    }
    // The block complete, its line is drawn once more and then stands:
    // what a download brings after the data is no part of it.
    if (complete_) return;
    complete_ = moved >= length_;
    if (!complete_ && !status_due(s_)) return;
    moved = std::min(moved, length_);
    std::string line = std::string(moving_) + " " + std::to_string(moved) + " of " +
                       std::to_string(length_) + " bytes";
    const uint64_t flowed_ms = first_moved_ == 0 ? 0 : s_.clock.now_ms() - first_ms_;
    if (flowed_ms >= 1000 && moved > first_moved_) {
      const uint64_t rate = static_cast<uint64_t>(moved - first_moved_) * 1000 / flowed_ms;
      line += ", " + std::to_string(rate) + " bytes/s";
      if (rate > 0) {
        const uint64_t left = static_cast<uint64_t>(length_ - moved);
        line += ", " + seconds_text((left + rate - 1) / rate) + " left";
      }
    }
    if (s_.reads_keys && s_.console.has_keyboard()) line += ", ESC abandons";
    show_status(s_, line);
  }

 private:
  Session& s_;
  const char* moving_;
  int32_t length_;
  int32_t first_moved_ = 0;
  uint64_t first_ms_ = 0;
  bool complete_ = false;
};

// Reads the key that is waiting, if any. Keys other than ESC are dropped.
bool esc_pressed(Session& s) { return s.reads_keys && s.console.poll_key() == kEscKey; }

// ESC's way out of an upload. A run that must end leaves one this way
// too: any byte after the data would otherwise be taken for data, the
// release's among them.
Next abandoned_upload(Session& s) {
  clear_status(s);
  abandon_upload(s);
  return Next::menu_after_prompt();
}

// A run that must end leaves a download this way too, pause and all: the
// programmer needs it to stop sending before the release's bytes can
// reach it as a command.
Next abandon_download(Session& s, uint32_t pause_ms) {
  clear_status(s);
  send_byte(s, protocol::kEsc);
  s.clock.sleep_ms(pause_ms);
  return Next::menu_after_prompt();
}

void print_surplus(Session& s, int32_t received) {
  print(s, "Transmission has been aborted, %i bytes has been received\n",
        static_cast<int>(received));
}

// The preamble of a download: zeros up to the 0xFF that ends it, counted
// up to one past the limit (enough to refuse, and no overflow on a line
// that sends zeros for ever). Bytes of other values are skipped. There is
// no time limit; ESC is the way out.
Next receive_preamble(Session& s, TransferStatus& status) {
  int32_t zeros = 0;
  for (;;) {
    status.update(0);
    const std::optional<uint8_t> byte = read_byte(s);
    if (s.port.gone) return no_response(s);
    if (byte == 0x00 && zeros <= kMostZeros) ++zeros;
    if (esc_pressed(s) || must_end(s)) return abandon_download(s, timing::kAbandonPreambleMs);
    if (byte == kDataStart) break;
  }
  if (zeros < protocol::kFewestZeros || zeros > kMostZeros) {
    print(s, "Data preamble invalid\n");
    return Next::end(kExitNoResponse);
  }
  return Next::carry_on();
}

// How the data of a download ended, and how many bytes it brought.
struct Received {
  Next next;
  int32_t count = 0;
};

// The data of a download: everything that comes, the programmer's closing
// bytes included, until the buffer is full or the empty reads, added up
// over the whole phase, say it has ended.
Received receive_data(Session& s, TransferStatus& status) {
  int empty_reads = 0;
  int32_t received = 0;
  for (;;) {
    status.update(received);
    const std::optional<uint8_t> byte = read_byte(s);
    if (s.port.gone) return {no_response(s), received};
    if (!byte) {
      if (++empty_reads == protocol::kEmptyReadsThatEndData) return {Next::carry_on(), received};
    } else {
      s.host_buffer[static_cast<size_t>(received)] = *byte;
      if (++received == kFullBuffer) return {Next::carry_on(), received};
    }
    if (esc_pressed(s) || must_end(s)) {
      return {abandon_download(s, timing::kAbandonDataMs), received};
    }
  }
}

// How the stream of `received` bytes must end.
Next check_stream_end(Session& s, int32_t length, int32_t received) {
  // The closing bytes are still in the port; the prompt wait takes them.
  if (received == kFullBuffer) return expect_prompt(s);
  if (received - length >= protocol::kSurplusLimit) {
    print_surplus(s, received);
    return Next::end(kExitNoResponse);
  }
  const bool trailer =
      received >= kTrailerSize &&
      std::equal(std::begin(kTrailer), std::end(kTrailer),
                 s.host_buffer.data() + static_cast<size_t>(received - kTrailerSize));
  return trailer ? Next::carry_on() : no_response(s);
}

// The first byte after the data is the programmer's own and is not looked
// at; anything else non-zero before the trailer (a full buffer's closing
// bytes are still in the port) is reported, and the transfer goes on.
void scan_surplus(Session& s, int32_t length, int32_t received) {
  const int32_t last = received == kFullBuffer ? kFullBuffer - 1 : received - kTrailerSize - 1;
  for (int32_t q = last; q > length; --q) {
    if (s.host_buffer[static_cast<size_t>(q)] != 0) print_surplus(s, received);
  }
}

}  // namespace

Sent send_block(Session& s, int32_t length) {
  // From the command on, the programmer takes every byte as the upload's
  // until a break ends it. A run that ends before that without its
  // release (killed, crashed) leaves the mark for the next run.
  mark_upload(s, true);
  send_string(s, protocol::kUpload);
  s.clock.sleep_ms(timing::kCommandMs);
  for (int i = 0; i < protocol::kUploadZeros; ++i) send_byte(s, 0x00);
  send_byte(s, kDataStart);

  uint16_t sum = 0;
  {
    KeyMode keys(s);
    TransferStatus status(s, "Sending", length);
    int32_t p = 0;
    while (p < length) {
      status.update(p);
      const uint8_t byte = s.host_buffer[static_cast<size_t>(p)];
      const bool went = send_byte(s, byte);
      // A byte that did not leave (CTS held, or a failed call) goes again;
      // it counts once, when it is written. Not to a device that has gone.
      if (s.port.gone) return {no_response(s)};
      if (went) {
        sum = static_cast<uint16_t>(sum + byte);
        ++p;
      }
      if (esc_pressed(s) || must_end(s)) return {abandoned_upload(s)};
    }
    status.update(p);
    // The break must follow the last byte on the line, not in a queue.
    // The programmer may hold it back as long as it likes; ESC still works.
    while (!s.serial.wait_output_drained(kDrainSliceMs)) {
      status.update(p);
      if (esc_pressed(s) || must_end(s)) return {abandoned_upload(s)};
    }
  }

  s.clock.sleep_ms(timing::kBeforeBreakMs);
  hold_break(s);
  // Only the prompt says the break reached the programmer: a line that
  // went with the last byte took the break with it, and the upload goes on.
  Next next = expect_prompt(s);
  if (next.carries_on()) mark_upload(s, false);
  return {next, sum};
}

Next receive_block(Session& s, int32_t length) {
  send_string(s, protocol::kDownload);
  discard_pending_input(s);

  Received data;
  {
    KeyMode keys(s);
    TransferStatus status(s, "Receiving", length);
    if (Next next = receive_preamble(s, status); !next.carries_on()) return next;
    data = receive_data(s, status);
    if (!data.next.carries_on()) return data.next;
  }
  if (Next next = check_stream_end(s, length, data.count); !next.carries_on()) return next;
  scan_surplus(s, length, data.count);
  return Next::carry_on();
}

uint16_t sum_block(const Session& s, int32_t length) {
  uint16_t sum = 0;
  for (int32_t q = 0; q < length; ++q)
    sum = static_cast<uint16_t>(sum + s.host_buffer[static_cast<size_t>(q)]);
  return sum;
}

Next check_block(Session& s, int32_t length, uint16_t pc_sum) {
  char piece[3];
  std::snprintf(piece, sizeof piece, "%02X", static_cast<unsigned>(((length - 1) >> 8) & 0xFF));
  send_string(s, protocol::kChecksumQuery);
  send_string(s, piece);
  send_string(s, protocol::kChecksumQueryEnd);
  pause_unless_ending(s, timing::checksum_pause(length));

  if (Next next = expect_bracket(s); !next.carries_on()) return next;
  const Reply reply = read_reply(s, protocol::kChecksumReplyLength);
  if (s.port.gone) return no_response(s);
  const std::string end = reply.bytes.substr(protocol::kChecksumDigits);
  const bool closed = std::strcmp(end.c_str(), protocol::kChecksumReplyEnd) == 0;
  // Only the digits take part, read as strtol reads base 16. A reply
  // without a digit would read as 0000, the sum of a block of zeros and of
  // a 64 KiB block of 0xFF alike: such a reply confirms nothing.
  const std::string digits = reply.bytes.substr(0, protocol::kChecksumDigits);
  char* digits_end = nullptr;
  const long device_sum = std::strtol(digits.c_str(), &digits_end, 16);
  if (!closed || digits_end == digits.c_str()) {
    print(s, "Invalid Response\n");
    return Next::end(kExitInvalidResponse);
  }
  if (Next next = expect_prompt(s); !next.carries_on()) return next;

  if (device_sum != pc_sum) {
    print(s, "Checksum wrong! %04x does not equal %04x\n", static_cast<unsigned>(device_sum),
          static_cast<unsigned>(pc_sum));
    return Next::end(kExitInvalidResponse);
  }
  return Next::carry_on();
}

}  // namespace chipferry
