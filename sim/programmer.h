// A model of the SE4943 programmer as its serial port shows it.
//
// One model, two hosts: the in-process tests drive it through their serial
// double on a virtual clock (tests/support/sim_serial.h), and chipferry-sim
// drives it over a pseudo-terminal in real time. The model never reads a clock of its own; every
// call says what time it is, and every byte it produces carries the time from which the host may
// deliver it.
//
// What it keeps is what the real programmer keeps: the selected ROM type, a
// 64 KiB device buffer, and a chip in the socket. Faults are scripted
// through `faults`; each one says when it is used up.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "catalogue/catalogue.h"
#include "sim/peer.h"

namespace chipferry::sim {

constexpr size_t kDeviceBufferSize = 65536;

/// The chip in the socket.
struct Chip {
  bool present = true;
  const RomType* type = nullptr;  ///< what the chip is; nullptr: not told
  std::vector<uint8_t> cells = std::vector<uint8_t>(kDeviceBufferSize, 0xFF);
};

/// Everything in which the programmer may depart from a well-behaved one,
/// for the tests and chipferry-sim's --fault. A fault marked "next" is
/// used up by the exchange it spoils; the others last.
struct Faults {
  // --- Every reply -------------------------------------------------------

  bool silent = false;            ///< never sends a byte
  std::string before_next_reply;  ///< stray bytes sent ahead of the next reply
  uint32_t reply_delay_ms = 0;    ///< every reply starts this much later
  /// After the start-up command: answers this many more command lines, then
  /// falls silent for good (0: silent from the next line on).
  std::optional<size_t> quiet_after_commands;
  /// After the start-up command every reply but the download block comes
  /// as bytes of no meaning ("[" among them, never a prompt).
  bool garbage_replies = false;

  // --- The type query and the chip operations ---------------------------

  /// Raw bytes sent instead of the next type code (four characters).
  std::optional<std::string> type_code;
  /// The "]" and prompt after a replaced type code come this much later, so
  /// that a short one is cut short by the host's read time-out.
  uint32_t type_code_gap_ms = 0;
  /// Raw bytes sent instead of the outcome of the next execute commands,
  /// one entry per "P\r"; an entry is sent as it stands, nothing added.
  std::deque<std::string> execute_replies;

  // --- The buffer transfers ---------------------------------------------

  bool upload_unanswered = false;  ///< no prompt when the next upload ends
  /// Zero bytes ahead of the 0xFF that opens every download's data; the
  /// program takes 2 to 200.
  size_t download_preamble_zeros = 16;
  /// Raw bytes sent instead of the next download's zeros and 0xFF.
  std::optional<std::string> download_preamble;
  /// Data bytes the next download sends instead of the type's capacity.
  std::optional<size_t> download_length;
  /// Silences in the next download: {data offset, ms} holds back that byte
  /// and the rest.
  std::vector<std::pair<size_t, uint32_t>> download_gaps;
  std::string download_surplus;  ///< bytes between every download's data and its trailer
  std::string download_trailer = "\r\n[C]";  ///< what ends every download
  /// Raw bytes sent as the whole answer to the next checksum query, prompt
  /// included.
  std::optional<std::string> checksum_reply;
  bool wrong_checksum = false;  ///< the next checksum reply is one too high

  // --- The line ----------------------------------------------------------

  /// The line goes away for good, as when the USB adapter is pulled: once
  /// this many data bytes of an upload have come,
  std::optional<size_t> hang_up_after_upload_bytes;
  /// or when this command line comes (compared ignoring case), unanswered.
  std::optional<std::string> hang_up_at_command;
};

/// Operation durations in milliseconds, from "P\r" to the first status frame.
struct Durations {
  uint32_t dump = 0, compare = 0, program = 0, erase = 0, blank_check = 0;
};

class Programmer : public Peer {
 public:
  Programmer();

  // What the host sends.
  void receive(uint8_t byte, uint64_t now_ms) override;
  void set_break(bool on, uint64_t now_ms) override;
  /// Tells the model the line has been quiet up to `now_ms`: ends an upload
  /// on silence, if enabled. Only the host can know that nothing is on its
  /// way, so the time between two received bytes never ends one by itself.
  void advance(uint64_t now_ms) override;
  std::optional<uint32_t> quiet_check_ms() const override;

  // What the host reads.
  /// Time from which the next byte may be delivered; none when nothing is due.
  std::optional<uint64_t> next_ready() const override;
  uint8_t take() override;
  /// Queues bytes for the host as they stand, faults or not: bytes that
  /// come from nowhere, or late.
  void inject(const std::string& bytes, uint64_t at_ms);
  /// Drops everything not yet taken.
  void drop_output() override;
  bool ended() const override { return hung_up_; }
  bool hung_up() const override { return hung_up_; }

  // State, open to the hosts and the tests.
  const RomType* selected = nullptr;  ///< the programmer's ROM type
  std::vector<uint8_t> device_buffer = std::vector<uint8_t>(kDeviceBufferSize, 0xFF);
  Chip chip;
  Faults faults;
  Durations durations;
  bool end_upload_on_silence = false;  ///< for lines where a break is invisible
  /// Long enough that a program held up by a busy machine does not end its
  /// upload; short enough to end it within an abandon's 500 ms break.
  uint32_t upload_silence_ms = 400;
  size_t uploaded_bytes = 0;  ///< data bytes of the last upload
  /// The last command lines received, oldest first: what a test asks about
  /// is the end of a run, and a run may send any number of them.
  std::deque<std::string> commands;
  static constexpr size_t kCommandsKept = 16;

 private:
  enum class Mode { offline, idle, upload_preamble, upload_data };

  /// A chip operation: the command that selects it, how long it takes,
  /// and what it does to the chip, which gives its status frames.
  struct ChipWork {
    const char* command;
    uint32_t Durations::*duration;
    std::string (Programmer::*work)(int32_t length);
  };
  static const ChipWork kChipWork[];

  void hang_up();
  void command(const std::string& line_as_sent, uint64_t now);
  void answer(const std::string& line, uint64_t now);
  void answer_type_query(uint64_t now);
  void select_type(const std::string& short_name);
  void answer_checksum_query(const std::string& line, uint64_t now);
  void execute(uint64_t now);
  std::string dump(int32_t length);
  std::string compare(int32_t length);
  std::string program(int32_t length);
  std::string erase(int32_t length);
  std::string blank_check(int32_t length);
  bool eeprom() const;
  void end_upload(uint64_t now);
  void download(uint64_t now);
  void send(const std::string& bytes, uint64_t at);
  void send_prompt(uint64_t at) { send("[C]", at); }
  int32_t capacity() const;

  struct Pending {
    uint8_t byte;
    uint64_t ready_at;
  };
  std::deque<Pending> output_;
  Mode mode_ = Mode::offline;
  std::string line_;
  const ChipWork* operation_ = nullptr;  ///< the selected operation
  bool busy_ = false;                    ///< an execute has answered and may be cut short by ESC
  uint64_t last_data_at_ = 0;
  bool break_on_ = false;
  bool started_ = false;        ///< the start-up command has come
  bool sending_block_ = false;  ///< the download block is being queued
  size_t garbage_sent_ = 0;
  bool hung_up_ = false;
};

}  // namespace chipferry::sim
