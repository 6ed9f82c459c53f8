#include "sim/replay.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace chipferry::sim {
namespace {

// 19,200 baud with a start and a stop bit: ten bits a byte.
constexpr uint64_t kByteUs = 10 * 1'000'000 / 19200;

std::string seconds(uint64_t ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%llu.%03llu s", static_cast<unsigned long long>(ms / 1000),
                static_cast<unsigned long long>(ms % 1000));
  return text;
}

}  // namespace

Replay::Replay(const trace::Trace& trace, std::string name, bool paced) : name_(std::move(name)) {
  using trace::Entry;
  using trace::Event;
  size_t start = 0;
  for (size_t k = 0; k < trace.entries.size(); ++k) {
    const Entry& e = trace.entries[k];
    if (e.kind == Entry::Kind::event && e.event == Event::port_opened) {
      start = k + 1;
      recorded_open_ms_ = e.at_ms;
      break;
    }
  }
  uint64_t line_free_us = recorded_open_ms_ * 1000;
  uint64_t last_ms = recorded_open_ms_;
  for (size_t k = start; k < trace.entries.size(); ++k) {
    const Entry& e = trace.entries[k];
    last_line_ = e.line;
    if (e.kind == Entry::Kind::event) {
      if (e.event == Event::port_closed) break;
      if (e.event == Event::output_discarded) {
        discards_.push_back(sent_.size());
        line_free_us = e.at_ms * 1000;  // the line was handed nothing more
      }
      continue;
    }
    const uint64_t wait_ms = e.at_ms > last_ms ? e.at_ms - last_ms : 0;
    last_ms = e.at_ms;
    if (e.kind == Entry::Kind::received) {
      uint64_t anchor_ms = recorded_open_ms_;
      if (!sent_.empty()) anchor_ms = paced ? sent_.back().delivered_ms : sent_.back().at_ms;
      const uint64_t delay_ms = e.at_ms > anchor_ms ? e.at_ms - anchor_ms : 0;
      chunks_.push_back({e.data, sent_.size(), delay_ms, e.at_ms, e.line});
      continue;
    }
    for (size_t i = 0; i < e.data.size(); ++i) {
      line_free_us = std::max(e.at_ms * 1000, line_free_us) + kByteUs;
      sent_.push_back({static_cast<uint8_t>(e.data[i]), e.at_ms, line_free_us / 1000,
                       i == 0 ? wait_ms : 0, e.line, i});
    }
  }
}

void Replay::port_opened(uint64_t now_ms) {
  if (opened_) return;
  opened_ = true;
  opened_ms_ = matched_ms_ = activity_ms_ = now_ms;
  schedule();
}

void Replay::schedule() {
  due_ms_.reset();
  if (chunk_ < chunks_.size() && chunks_[chunk_].after == matched_) {
    due_ms_ = matched_ms_ + chunks_[chunk_].delay_ms;
  }
}

std::optional<uint64_t> Replay::next_ready() const {
  if (diverged_ || !opened_ || !sending()) return std::nullopt;
  return due_ms_;
}

uint8_t Replay::take() {
  const Chunk& chunk = chunks_[chunk_];
  const auto byte = static_cast<uint8_t>(chunk.bytes[chunk_taken_++]);
  activity_ms_ = std::max(activity_ms_, *due_ms_);
  if (chunk_taken_ == chunk.bytes.size()) {
    ++chunk_;
    chunk_taken_ = 0;
    schedule();
  }
  return byte;
}

void Replay::receive(uint8_t byte, uint64_t now_ms) {
  if (finished_) return;
  if (!opened_) port_opened(now_ms);
  activity_ms_ = now_ms;
  if (diverged_) {
    if (received_.size() < trace::kBytesPerLine) received_.push_back(static_cast<char>(byte));
    if (received_.size() == trace::kBytesPerLine) context_done_ = true;
    return;
  }
  received_.assign(1, static_cast<char>(byte));
  if (matched_ == sent_.size()) {
    diverge(now_ms, "the program sent more than the recording holds");
    return;
  }
  if (chunk_ < chunks_.size() && chunks_[chunk_].after <= matched_) {
    const Chunk& c = chunks_[chunk_];
    diverge(now_ms, "the program went on before the programmer's answer at line " +
                        std::to_string(c.line) + " (" + trace::describe(c.bytes) +
                        ") had been sent");
    return;
  }
  if (byte != sent_[matched_].byte) {
    diverge(now_ms, "the program sent another byte");
    return;
  }
  received_.clear();
  ++matched_;
  matched_ms_ = now_ms;
  if (jump_after_ && --*jump_after_ == 0) {
    jump_after_.reset();
    matched_ = std::max(matched_, jump_to_);
  }
  if (!due_ms_) schedule();
}

void Replay::program_discarded(size_t still_to_come, uint64_t now_ms) {
  if (diverged_ || finished_) return;
  const auto next = std::lower_bound(discards_.begin(), discards_.end(), matched_);
  if (next == discards_.end()) return;
  // Only what nobody answered may be skipped: no answer of the
  // programmer's lies between here and the recorded discard.
  if (chunk_ < chunks_.size() && chunks_[chunk_].after < *next) return;
  jump_to_ = *next;
  if (still_to_come > 0) {
    jump_after_ = still_to_come;
    return;
  }
  matched_ = jump_to_;
  matched_ms_ = now_ms;
  if (!due_ms_) schedule();
}

std::optional<uint64_t> Replay::timer_ms() const {
  if (diverged_) return context_done_ ? std::nullopt : std::optional(diverged_ms_ + kContextMs);
  if (finished_ || !opened_ || matched_ == sent_.size() || sending()) return std::nullopt;
  return activity_ms_ + sent_[matched_].wait_ms + kStallMs;
}

void Replay::on_timer(uint64_t now_ms) {
  const auto due = timer_ms();
  if (!due || now_ms < *due) return;
  if (diverged_) {
    context_done_ = true;
    return;
  }
  received_.clear();
  diverge(now_ms, "the program has sent nothing for " + seconds(now_ms - activity_ms_) +
                      "; in the recording it sent its next byte after " +
                      seconds(sent_[matched_].wait_ms));
  context_done_ = true;
}

void Replay::port_closed(uint64_t now_ms) {
  if (diverged_) context_done_ = true;
  if (diverged_ || finished_ || !opened_) return;
  if (matched_ < sent_.size()) {
    received_.clear();
    diverge(now_ms, "the program closed the port before the end of the recording");
    context_done_ = true;
    return;
  }
  finished_ = true;
}

void Replay::diverge(uint64_t now_ms, std::string why) {
  diverged_ = true;
  diverged_ms_ = now_ms;
  why_ = std::move(why);
  due_ms_.reset();
}

std::string Replay::report() const {
  if (!diverged_) return {};
  std::string text = "chipferry-sim: the replay of " + name_ + " diverged " +
                     seconds(diverged_ms_ - opened_ms_) + " after the port was opened: " + why_ +
                     "\n";
  if (matched_ < sent_.size()) {
    const Sent& s = sent_[matched_];
    std::string expected;
    for (size_t k = matched_; k < sent_.size() && sent_[k].line == s.line; ++k) {
      expected.push_back(static_cast<char>(sent_[k].byte));
    }
    text += "  position: byte " + std::to_string(matched_ + 1) + " from the program, line " +
            std::to_string(s.line) + " of the trace (recorded at " +
            seconds(s.at_ms - std::min(s.at_ms, recorded_open_ms_)) + "), byte " +
            std::to_string(s.column + 1) + " of that line\n";
    text += "  expected: " + trace::describe(expected) + "\n";
  } else {
    text += "  position: after the last byte from the program, line " + std::to_string(last_line_) +
            " of the trace\n";
    text += "  expected: nothing more\n";
  }
  text +=
      "  received: " + (received_.empty() ? std::string("nothing") : trace::describe(received_)) +
      "\n";
  return text;
}

}  // namespace chipferry::sim
