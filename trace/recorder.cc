#include "trace/recorder.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

#include "chipferry/version.h"
#include "platform/line.h"
#include "platform/printable.h"
#include "trace/trace.h"

namespace chipferry::trace {
namespace {

// The file and the clock both decorators write with; it outlives them both.
class Recorder {
 public:
  Recorder(std::FILE* file, std::string path, std::unique_ptr<Clock> clock,
           const std::string& platform)
      : path_(std::move(path)), clock_(std::move(clock)), epoch_ms_(clock_->now_ms()) {
    writer.start(file, std::string("chipferry ") + CHIPFERRY_VERSION, "the port was opened", true);
    writer.comment("platform: " + (platform.empty() ? std::string("unknown") : platform));
  }
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;
  ~Recorder() {
    if (!writer.finish()) {
      std::fprintf(stderr, "chipferry: the trace %s is incomplete: %s\n", printable(path_).c_str(),
                   std::strerror(writer.error()));
    }
  }

  Clock& clock() { return *clock_; }
  uint64_t now() { return clock_->now_ms() - epoch_ms_; }
  /// From here on the times count.
  void opening() { epoch_ms_ = clock_->now_ms(); }
  void event(Event e, std::string_view detail = {}) { writer.event(now(), e, detail); }

  Writer writer;

 private:
  std::string path_;
  std::unique_ptr<Clock> clock_;
  uint64_t epoch_ms_;
};

class TracingSerial : public SerialDevice {
 public:
  TracingSerial(std::unique_ptr<SerialDevice> inner, std::shared_ptr<Recorder> recorder)
      : inner_(std::move(inner)), rec_(std::move(recorder)) {
    inner_->set_note_sink(
        [rec = rec_](std::string_view note) { rec->writer.note(rec->now(), note); });
  }

  OpenResult open(const char* port_name) override {
    rec_->writer.comment("device: " + inner_->device_path(port_name) + " (" + port_name + ")");
    rec_->opening();
    const OpenResult result = inner_->open(port_name);
    if (result == OpenResult::ok) {
      rec_->event(Event::port_opened);
    } else {
      rec_->event(Event::port_not_opened,
                  result == OpenResult::not_found ? "no such device" : "refused");
    }
    return result;
  }

  std::string device_path(const char* port_name) const override {
    return inner_->device_path(port_name);
  }

  bool get_state() override {
    const bool ok = inner_->get_state();
    rec_->event(ok ? Event::settings_read : Event::settings_not_read);
    return ok;
  }

  bool set_state() override {
    const bool ok = inner_->set_state();
    rec_->event(ok ? Event::settings_set : Event::settings_refused, line::kTraceText);
    return ok;
  }

  bool set_timeouts(const Timeouts& timeouts) override {
    const bool ok = inner_->set_timeouts(timeouts);
    rec_->event(ok ? Event::timeouts_set : Event::timeouts_refused,
                "read " + std::to_string(timeouts.read_ms) + " ms, write " +
                    std::to_string(timeouts.write_ms) + " ms");
    return ok;
  }

  ByteIo write_byte(uint8_t byte) override {
    const ByteIo io = inner_->write_byte(byte);
    if (!io.call_ok) {
      rec_->event(Event::write_failed, hex(byte) + (io.gone ? ": " + gone_text() : ""));
    } else if (io.count == 0) {
      rec_->event(Event::write_delivered_nothing, hex(byte));
    } else {
      rec_->writer.byte(kSent, byte, rec_->now());
    }
    return io;
  }

  ByteIo read_byte(uint8_t& byte) override {
    const ByteIo io = inner_->read_byte(byte);
    if (!io.call_ok) {
      rec_->event(Event::read_failed, io.gone ? gone_text() : "");
    } else if (io.count == 0) {
      rec_->event(Event::read_timed_out);
    } else {
      rec_->writer.byte(kReceived, byte, rec_->now());
    }
    return io;
  }

  void set_break(bool on) override {
    inner_->set_break(on);
    rec_->event(on ? Event::break_on : Event::break_off);
  }

  bool wait_output_drained(uint32_t max_ms) override {
    const bool drained = inner_->wait_output_drained(max_ms);
    if (drained) {
      rec_->event(Event::output_drained);
    } else {
      rec_->event(Event::output_not_drained, "within " + std::to_string(max_ms) + " ms");
    }
    return drained;
  }

  void discard_output() override {
    inner_->discard_output();
    rec_->event(Event::output_discarded);
  }

  std::string mark_upload(bool on) override { return inner_->mark_upload(on); }

  bool upload_marked() override {
    const bool marked = inner_->upload_marked();
    if (marked)
      rec_->writer.note(rec_->now(), "the last run on this port left an upload unfinished");
    return marked;
  }

  std::string error_text() const override { return inner_->error_text(); }
  std::string advice() const override { return inner_->advice(); }
  std::string gone_advice() const override { return inner_->gone_advice(); }

  void close() override {
    inner_->close();
    rec_->event(Event::port_closed);
    rec_->writer.flush();
  }

 private:
  std::string gone_text() const { return "the device has gone (" + inner_->error_text() + ")"; }

  std::unique_ptr<SerialDevice> inner_;
  std::shared_ptr<Recorder> rec_;
};

class TracingClock : public Clock {
 public:
  explicit TracingClock(std::shared_ptr<Recorder> recorder) : rec_(std::move(recorder)) {}

  void sleep_ms(uint32_t ms) override {
    // Written before the pause, so that a run killed during a long one
    // shows what it was waiting for.
    rec_->event(Event::pause, std::to_string(ms) + " ms");
    rec_->clock().sleep_ms(ms);
  }
  void sleep_ms_ticking(uint32_t ms, uint32_t every_ms,
                        const std::function<void(uint32_t slept_ms)>& tick,
                        const std::function<bool()>& ended) override {
    rec_->event(Event::pause, std::to_string(ms) + " ms");
    const uint64_t start = rec_->now();
    rec_->clock().sleep_ms_ticking(ms, every_ms, tick, ended);
    // A pause the end of the run cut short says so, or the trace would
    // seem to have lost time.
    if (const uint64_t slept = rec_->now() - start; slept < ms) {
      rec_->writer.note(rec_->now(),
                        "the pause ended after " + std::to_string(slept) + " ms: the run must end");
    }
  }
  uint64_t now_ms() override { return rec_->clock().now_ms(); }

 private:
  std::shared_ptr<Recorder> rec_;
};

}  // namespace

bool record(Backends& backends, const std::string& path, std::string& error) {
  // Binary: the same bytes on every system, LF line ends included.
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    const char* reason = std::strerror(errno);
    error = "cannot create the trace file ";
    error += printable(path) + ": " + reason;
    return false;
  }
  auto recorder =
      std::make_shared<Recorder>(file, path, std::move(backends.clock), backends.platform);
  backends.serial = std::make_unique<TracingSerial>(std::move(backends.serial), recorder);
  backends.clock = std::make_unique<TracingClock>(recorder);
  return true;
}

}  // namespace chipferry::trace
