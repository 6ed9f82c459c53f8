#include "transfer/block.h"

#include <cstdio>
#include <cstdlib>

#include "app/input.h"
#include "app/output.h"
#include "link/port.h"

namespace chipferry {
namespace {

constexpr int kPreambleZeros = 13;
constexpr uint8_t kPreambleEnd = 0xFF;
constexpr int32_t kMinReceivedZeros = 2;
constexpr int32_t kMaxReceivedZeros = 200;
constexpr int kMaxEmptyReads = 25;
constexpr int32_t kSurplusLimit = 250;
constexpr int32_t kFullBuffer = static_cast<int32_t>(kHostBufferSize);
constexpr uint32_t kDrainSliceMs = 50;
constexpr uint8_t kTrailer[] = {0x0D, 0x0A, '[', 'C', ']'};
constexpr int32_t kTrailerSize = sizeof kTrailer;

// Keys are read one at a time, without echo, only while a block moves;
// every way out of the block puts the keyboard back.
class KeyMode {
 public:
  explicit KeyMode(Session& s) : s_(s) { s_.console.set_key_mode(true); }
  ~KeyMode() { s_.console.set_key_mode(false); }
  KeyMode(const KeyMode&) = delete;
  KeyMode& operator=(const KeyMode&) = delete;

 private:
  Session& s_;
};

// Reads the key that is waiting, if any. Keys other than ESC are dropped.
bool esc_pressed(Session& s) { return s.console.poll_key() == kEsc; }

BlockResult failed(int code) { return {BlockEnd::failed, code, 0, 0}; }
BlockResult abandoned() { return {BlockEnd::abandoned, kExitOk, 0, 0}; }

BlockResult no_response(Session& s) {
  print(s, "No Response\n");
  return failed(kExitNoResponse);
}

// The programmer ends an upload on a break. Bytes still queued by the
// operating system would reach it after the break, so they are dropped.
BlockResult abandon_upload(Session& s) {
  s.serial.discard_output();
  s.serial.set_break(true);
  s.clock.sleep_ms(500);
  s.serial.set_break(false);
  send_byte(s, kEsc);
  s.clock.sleep_ms(500);
  return abandoned();
}

BlockResult abandon_download(Session& s, uint32_t pause_ms) {
  send_byte(s, kEsc);
  s.clock.sleep_ms(pause_ms);
  return abandoned();
}

void print_surplus(Session& s, int32_t received) {
  print(s, "Transmission has been aborted, %i bytes has been received\n", static_cast<int>(received));
}

}  // namespace

Next next_after(const BlockResult& result) {
  switch (result.end) {
    case BlockEnd::abandoned:
      return Next::menu_after_prompt();
    case BlockEnd::failed:
      return Next::end(result.exit_code);
    case BlockEnd::completed:
      break;
  }
  return Next::menu();
}

BlockResult send_block(Session& s, int32_t length) {
  send_string(s, "S6 0\r");
  s.clock.sleep_ms(100);
  for (int i = 0; i < kPreambleZeros; ++i) send_byte(s, 0x00);
  send_byte(s, kPreambleEnd);

  uint16_t sum = 0;
  {
    KeyMode keys(s);
    int32_t p = 0;
    while (p < length) {
      const uint8_t byte = s.host_buffer[static_cast<size_t>(p)];
      send_byte(s, byte);
      // A byte that did not leave (CTS held, or a failed call) goes again;
      // it counts once, when it is written.
      if (s.port.write_count == 1) {
        sum = static_cast<uint16_t>(sum + byte);
        ++p;
      }
      if (esc_pressed(s)) return abandon_upload(s);
    }
    // The break must follow the last byte on the line, not in a queue.
    // The programmer may hold it back as long as it likes; ESC still works.
    while (!s.serial.wait_output_drained(kDrainSliceMs)) {
      if (esc_pressed(s)) return abandon_upload(s);
    }
  }

  s.clock.sleep_ms(200);
  s.serial.set_break(true);
  s.clock.sleep_ms(500);
  s.serial.set_break(false);
  if (!wait_command_prompt(s)) return no_response(s);
  return {BlockEnd::completed, kExitOk, sum, 0};
}

BlockResult receive_block(Session& s, int32_t length) {
  send_string(s, "S8\r");
  discard_pending_input(s);

  int32_t received = 0;
  {
    KeyMode keys(s);
    // Counted up to one past the limit: enough to refuse, and no overflow
    // on a line that sends zeros for ever.
    int32_t zeros = 0;
    for (;;) {
      const uint8_t byte = read_byte(s);
      const bool arrived = s.port.read_count != 0;
      if (arrived && byte == 0x00 && zeros <= kMaxReceivedZeros) ++zeros;
      if (esc_pressed(s)) return abandon_download(s, 5000);
      if (arrived && byte == kPreambleEnd) break;
    }
    if (zeros < kMinReceivedZeros || zeros > kMaxReceivedZeros) {
      print(s, "Data preamble invalid\n");
      return failed(kExitNoResponse);
    }

    // The empty reads add up over the whole phase; a byte does not reset
    // them.
    int empty_reads = 0;
    for (;;) {
      const uint8_t byte = read_byte(s);
      if (s.port.read_count == 0) {
        if (++empty_reads > kMaxEmptyReads) break;
      } else {
        s.host_buffer[static_cast<size_t>(received)] = byte;
        if (++received == kFullBuffer) break;
      }
      if (esc_pressed(s)) return abandon_download(s, 2000);
    }
  }

  int32_t last = 0;
  if (received == kFullBuffer) {
    // The closing bytes are still in the port; the prompt wait takes them.
    if (!wait_command_prompt(s)) return no_response(s);
    last = kFullBuffer - 1;
  } else {
    if (received - length >= kSurplusLimit) {
      print_surplus(s, received);
      return failed(kExitNoResponse);
    }
    bool trailer = received >= kTrailerSize;
    for (int32_t i = 0; trailer && i < kTrailerSize; ++i) {
      trailer = s.host_buffer[static_cast<size_t>(received - kTrailerSize + i)] == kTrailer[i];
    }
    if (!trailer) return no_response(s);
    last = received - kTrailerSize - 1;
  }

  // The first byte after the data is the programmer's own and is not
  // looked at; anything else non-zero before the trailer is reported.
  for (int32_t q = last; q > length; --q) {
    if (s.host_buffer[static_cast<size_t>(q)] != 0) print_surplus(s, received);
  }
  return {BlockEnd::completed, kExitOk, 0, received};
}

uint16_t sum_block(const Session& s, int32_t length) {
  uint16_t sum = 0;
  for (int32_t q = 0; q < length; ++q) sum = static_cast<uint16_t>(sum + s.host_buffer[static_cast<size_t>(q)]);
  return sum;
}

BlockResult check_block(Session& s, int32_t length, uint16_t pc_sum) {
  // The end address is L-1 = xxFF; only its high byte varies.
  char piece[3];
  std::snprintf(piece, sizeof piece, "%02X", static_cast<unsigned>(((length - 1) >> 8) & 0xFF));
  send_string(s, "S1K 0000-");
  send_string(s, piece);
  send_string(s, "FF\r");
  s.clock.sleep_ms(700 + static_cast<uint32_t>(length / 16384));

  if (!wait_bracket(s)) return no_response(s);
  char reply[7] = {};
  for (int i = 0; i < 6; ++i) reply[i] = static_cast<char>(read_byte(s));
  if (reply[4] != ' ' || reply[5] != ']') {
    print(s, "Invalid Response\n");
    return failed(kExitInvalidResponse);
  }
  if (!wait_command_prompt(s)) return no_response(s);

  // Only the four digits take part, read as strtol reads base 16.
  reply[4] = '\0';
  const long device_sum = std::strtol(reply, nullptr, 16);
  if (device_sum != pc_sum) {
    print(s, "Checksum wrong! %04x does not equal %04x\n", static_cast<unsigned>(device_sum),
          static_cast<unsigned>(pc_sum));
    return failed(kExitInvalidResponse);
  }
  return {BlockEnd::completed, kExitOk, 0, 0};
}

}  // namespace chipferry
