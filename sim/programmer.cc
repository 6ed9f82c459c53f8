#include "sim/programmer.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace chipferry::sim {

Programmer::Programmer() : selected(&kRomTypes[0]) {}

int32_t Programmer::capacity() const {
  return selected != nullptr ? capacity_of(selected->size_class) : int32_t{2048};
}

void Programmer::send(const std::string& bytes, uint64_t at) {
  if (faults.silent) return;
  at += faults.reply_delay_ms;
  if (!faults.before_next_reply.empty()) {
    std::string stray;
    stray.swap(faults.before_next_reply);
    for (char c : stray) output_.push_back({static_cast<uint8_t>(c), at});
  }
  const bool garbage = faults.garbage_replies && started_ && !sending_block_;
  static constexpr char kGarbage[] = "Gx[#?]0";
  for (char c : bytes) {
    if (garbage) c = kGarbage[garbage_sent_++ % (sizeof kGarbage - 1)];
    output_.push_back({static_cast<uint8_t>(c), at});
  }
}

std::optional<uint64_t> Programmer::next_ready() const {
  if (output_.empty()) return std::nullopt;
  return output_.front().ready_at;
}

uint8_t Programmer::take() {
  const uint8_t byte = output_.front().byte;
  output_.pop_front();
  return byte;
}

void Programmer::inject(const std::string& bytes, uint64_t at) {
  for (char c : bytes) output_.push_back({static_cast<uint8_t>(c), at});
}

void Programmer::drop_output() { output_.clear(); }

void Programmer::set_break(bool on, uint64_t now) {
  if (on && !break_on_ && (mode_ == Mode::upload_data || mode_ == Mode::upload_preamble)) {
    end_upload(now);
  }
  break_on_ = on;
}

void Programmer::advance(uint64_t now) {
  if (mode_ == Mode::upload_data && end_upload_on_silence &&
      now >= last_data_at_ + upload_silence_ms) {
    end_upload(now);
  }
}

std::optional<uint32_t> Programmer::quiet_check_ms() const {
  // Just past the silence that ends an upload, so that it is noticed.
  if (!end_upload_on_silence) return std::nullopt;
  return upload_silence_ms + 1;
}

void Programmer::end_upload(uint64_t now) {
  mode_ = Mode::idle;
  if (faults.upload_unanswered) {
    faults.upload_unanswered = false;
    return;
  }
  send_prompt(now);
}

void Programmer::receive(uint8_t byte, uint64_t now) {
  if (hung_up_) return;
  switch (mode_) {
    case Mode::offline:
      if (byte == 0x11) {
        mode_ = Mode::idle;
        send_prompt(now);
      }
      return;
    case Mode::upload_preamble:
      if (byte == 0xFF) {
        mode_ = Mode::upload_data;
        uploaded_bytes = 0;
        last_data_at_ = now;
      }
      return;
    case Mode::upload_data:
      if (uploaded_bytes < device_buffer.size()) device_buffer[uploaded_bytes] = byte;
      ++uploaded_bytes;
      last_data_at_ = now;
      if (faults.hang_up_after_upload_bytes &&
          uploaded_bytes >= *faults.hang_up_after_upload_bytes) {
        hang_up();
      }
      return;
    case Mode::idle:
      break;
  }
  if (byte == 0x1B) {
    line_.clear();
    // ESC cuts short whatever is under way and is answered with a prompt;
    // at rest it is ignored, so a wake-up or a release adds no prompt.
    if (busy_) {
      busy_ = false;
      drop_output();
      send_prompt(now);
    }
    return;
  }
  if (byte == 0x11) {
    send_prompt(now);
    return;
  }
  if (byte == '\r') {
    std::string line;
    line.swap(line_);
    commands.push_back(line);
    if (commands.size() > kCommandsKept) commands.pop_front();
    busy_ = false;
    command(line, now);
    return;
  }
  if (line_.size() < 64) line_.push_back(static_cast<char>(byte));
}

namespace {

std::string upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

bool all_erased(const std::vector<uint8_t>& cells, int32_t length) {
  for (int32_t i = 0; i < length; ++i) {
    if (cells[static_cast<size_t>(i)] != 0xFF) return false;
  }
  return true;
}

}  // namespace

void Programmer::hang_up() {
  hung_up_ = true;
  drop_output();
}

void Programmer::command(const std::string& line_as_sent, uint64_t now) {
  const std::string line = upper(line_as_sent);
  if (faults.hang_up_at_command && upper(*faults.hang_up_at_command) == line) {
    hang_up();
    return;
  }
  std::optional<size_t>& quiet_after = faults.quiet_after_commands;
  const bool counted = started_ && quiet_after.has_value();
  if (counted && *quiet_after == 0) faults.silent = true;
  answer(line, now);
  if (line == "S900000 01") started_ = true;
  if (counted && *quiet_after > 0 && --*quiet_after == 0) faults.silent = true;
}

const Programmer::ChipWork Programmer::kChipWork[] = {
    {"P8", &Durations::dump, &Programmer::dump},
    {"PE", &Durations::compare, &Programmer::compare},
    {"PD", &Durations::program, &Programmer::program},
    {"P9", &Durations::erase, &Programmer::erase},
    {"PC", &Durations::blank_check, &Programmer::blank_check},
};

// One command line, upper case, each command to the handler it has.
void Programmer::answer(const std::string& line, uint64_t now) {
  const ChipWork* work = nullptr;
  for (const ChipWork& w : kChipWork) {
    if (line == w.command) work = &w;
  }
  if (line == "S900000 01") {
    send_prompt(now);
  } else if (line == "SC") {
    mode_ = Mode::offline;
  } else if (line == "R") {
    answer_type_query(now);
  } else if (line.size() > 1 && line[0] == 'R') {
    select_type(line.substr(1));
  } else if (work != nullptr) {
    operation_ = work;
    send_prompt(now);
  } else if (line == "P") {
    execute(now);
  } else if (line == "S6 0") {
    mode_ = Mode::upload_preamble;
  } else if (line == "S8") {
    download(now);
  } else if (line.rfind("S1K 0000-", 0) == 0 && line.size() == 13) {
    answer_checksum_query(line, now);
  } else {
    send("[?]", now);
    send_prompt(now);
  }
}

void Programmer::answer_type_query(uint64_t now) {
  std::string code;
  uint64_t rest_at = now;
  if (faults.type_code) {
    code = *faults.type_code;
    faults.type_code.reset();
    rest_at += faults.type_code_gap_ms;
  } else {
    code = selected != nullptr ? selected->short_name : "";
    code.insert(0, 4 - code.size(), '0');
  }
  send("[" + code, now);
  send("]", rest_at);
  send_prompt(rest_at);
}

// Selecting a type is not answered; a name it does not know changes nothing.
void Programmer::select_type(const std::string& short_name) {
  if (const RomType* type = find_rom_type(short_name.c_str(), NameColumn::short_name)) {
    selected = type;
  }
}

// "S1K 0000-XXFF": the sum of the device buffer up to that address.
void Programmer::answer_checksum_query(const std::string& line, uint64_t now) {
  if (faults.checksum_reply) {
    send(*faults.checksum_reply, now);
    faults.checksum_reply.reset();
    return;
  }
  const unsigned long end = std::strtoul(line.c_str() + 9, nullptr, 16);
  unsigned sum = 0;
  for (unsigned long a = 0; a <= end && a < device_buffer.size(); ++a) sum += device_buffer[a];
  if (faults.wrong_checksum) {
    faults.wrong_checksum = false;
    ++sum;
  }
  char reply[16];
  std::snprintf(reply, sizeof reply, "[%04X ]", sum & 0xFFFFu);
  send(reply, now);
  send_prompt(now);
}

void Programmer::download(uint64_t now) {
  busy_ = true;
  sending_block_ = true;
  Faults& f = faults;
  std::string head(f.download_preamble_zeros, '\0');
  head.push_back('\xFF');
  if (f.download_preamble) head = *f.download_preamble;
  const size_t length =
      std::min(f.download_length.value_or(static_cast<size_t>(capacity())), device_buffer.size());
  send(head, now);
  size_t from = 0;
  for (const auto& [offset, ms] : f.download_gaps) {
    const size_t to = std::min(offset, length);
    send(std::string(device_buffer.data() + from, device_buffer.data() + to), now);
    from = std::max(from, to);
    now += ms;
  }
  send(std::string(device_buffer.data() + from, device_buffer.data() + length), now);
  send(f.download_surplus + f.download_trailer, now);
  f.download_preamble.reset();
  f.download_length.reset();
  f.download_gaps.clear();
  sending_block_ = false;
}

void Programmer::execute(uint64_t now) {
  busy_ = true;
  if (!faults.execute_replies.empty()) {
    const std::string reply = faults.execute_replies.front();
    faults.execute_replies.pop_front();
    send(reply, now);
    return;
  }
  uint32_t duration = 0;
  std::string outcome = "[ERROR #20]";  // no operation selected
  if (operation_ != nullptr) {
    duration = durations.*operation_->duration;
    if (chip.present) outcome = (this->*operation_->work)(capacity());
  }
  if (!chip.present) outcome = "[ERROR #06]";
  // A pass and an empty socket are followed by the prompt at once; any
  // other error waits for the host's ESC.
  const bool prompt_follows =
      outcome.find("ERROR") == std::string::npos || outcome == "[ERROR #06]";
  send(outcome + (prompt_follows ? "[C]" : ""), now + duration);
}

bool Programmer::eeprom() const { return selected != nullptr && selected->voltage_index == 0; }

std::string Programmer::dump(int32_t length) {
  std::copy(chip.cells.begin(), chip.cells.begin() + length, device_buffer.begin());
  return "[PASS][PASS]";
}

std::string Programmer::compare(int32_t length) {
  const bool same =
      std::equal(chip.cells.begin(), chip.cells.begin() + length, device_buffer.begin());
  return same ? "[PASS]" : "[ERROR #13]";
}

std::string Programmer::program(int32_t length) {
  bool verified = true;
  for (int32_t i = 0; i < length; ++i) {
    uint8_t& cell = chip.cells[static_cast<size_t>(i)];
    const uint8_t wanted = device_buffer[static_cast<size_t>(i)];
    // An EPROM cell can only lose 1 bits; only UV light brings them back.
    cell = eeprom() ? wanted : static_cast<uint8_t>(cell & wanted);
    if (cell != wanted) verified = false;
  }
  return verified ? "[PASS]" : "[ERROR #11]";
}

std::string Programmer::erase(int32_t length) {
  if (!eeprom()) return "[ERROR #35]";
  std::fill(chip.cells.begin(), chip.cells.begin() + length, uint8_t{0xFF});
  return "[PASS]";
}

std::string Programmer::blank_check(int32_t length) {
  return all_erased(chip.cells, length) ? "[PASS]" : "[ERROR #12]";
}

}  // namespace chipferry::sim
