// The whole program in-process under libFuzzer.
//
// The input is split at the first 0x00 0x00 pair: what comes before is
// typed at the console, what comes after is what the device sends, one byte
// per read, followed by silence. Once the device bytes are used up nothing
// new can reach a wait, so a run stops when the virtual clock has moved on
// by more than the longest bounded wait of the program after that; the
// program's own unbounded waits (a preamble that never ends) are not
// faults. Reading console text costs no virtual time, so everything typed
// that the program would still read is read before that.
//
// The input's size also picks, in a way that leaves the format as it was,
// how the run is troubled besides: a quarter of the runs as before, a
// quarter with serial calls that fail now and then, a quarter with a line
// that hangs up at some call, and a quarter asked to end at some virtual
// time (an interrupt of each kind, or standard output gone).
//
// A fault is everything else: a crash, a sanitizer report, a loop that
// stops the clock, a temporary file left behind, an image file of a size
// the program never writes, a port touched after it went away, or a run
// that goes on after it was asked to end.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "app/program.h"
#include "tests/support/virtual_clock.h"

namespace {

using namespace chipferry;

struct Enough {};

constexpr uint64_t kAfterInputMs = 10ull * 60 * 1000;  // longer than any wait
constexpr uint64_t kCallsWithoutTime = 5'000'000;
// From the request to end to the end: a download's abandon (5 s), the
// release, and the look that sees it.
constexpr uint64_t kLongestWayOutMs = 6000;
// The requests to end come within this long of the start.
constexpr uint64_t kStopWithinMs = 5ull * 60 * 1000;

enum class Trouble { none, failing_calls, hang_up, stop };

struct Plan {
  Trouble trouble = Trouble::none;
  uint64_t every = 0;    ///< failing_calls: every this many calls fail
  uint64_t at_call = 0;  ///< hang_up: this call finds the line gone
  uint64_t at_ms = 0;    ///< stop: from this virtual time on
  Stop why = Stop::none;
};

Plan plan_for(size_t size) {
  Plan plan;
  switch ((size / 8) % 4) {
    case 1:
      plan.trouble = Trouble::failing_calls;
      plan.every = 2 + size % 29;
      break;
    case 2:
      plan.trouble = Trouble::hang_up;
      plan.at_call = 1 + (size * 31) % 4000;
      break;
    case 3: {
      plan.trouble = Trouble::stop;
      plan.at_ms = (size * 977) % kStopWithinMs;
      constexpr Stop kWhy[] = {Stop::interrupt, Stop::quit, Stop::terminate, Stop::hang_up,
                               Stop::output_gone};
      plan.why = kWhy[size % 5];
      break;
    }
    default:
      break;
  }
  return plan;
}

struct Limits {
  explicit Limits(test::VirtualClock& c) : clock(c) {}
  test::VirtualClock& clock;
  bool device_used = false;
  uint64_t used_at = 0;
  uint64_t last_now = 0;
  uint64_t calls = 0;

  Plan plan;

  void tick() {
    if (plan.trouble == Trouble::stop && clock.now > plan.at_ms + kLongestWayOutMs) {
      std::fprintf(stderr, "the run goes on after it was asked to end\n");
      std::abort();
    }
    if (clock.now != last_now) {
      last_now = clock.now;
      calls = 0;
    } else if (++calls > kCallsWithoutTime) {
      std::fprintf(stderr, "the program loops without the clock moving\n");
      std::abort();
    }
    if (device_used) {
      if (used_at == 0) used_at = clock.now + 1;
      if (clock.now > used_at + kAfterInputMs) throw Enough{};
    }
  }
};

class FuzzSerial : public SerialDevice {
 public:
  FuzzSerial(const uint8_t* data, size_t size, Limits& limits)
      : data_(data), size_(size), limits_(limits) {
    limits_.device_used = size_ == 0;
  }
  OpenResult open(const char*) override { return OpenResult::ok; }
  bool get_state() override { return true; }
  bool set_state() override { return true; }
  bool set_timeouts(const Timeouts& timeouts) override {
    read_timeout_ms_ = timeouts.read_ms;
    return true;
  }
  ByteIo write_byte(uint8_t) override {
    limits_.tick();
    if (const auto trouble = troubled()) return *trouble;
    return {true, 1};
  }
  ByteIo read_byte(uint8_t& byte) override {
    limits_.tick();
    if (const auto trouble = troubled()) return *trouble;
    if (pos_ < size_) {
      byte = data_[pos_++];
      if (pos_ == size_) limits_.device_used = true;
      return {true, 1};
    }
    limits_.clock.now += read_timeout_ms_;
    return {true, 0};
  }
  void set_break(bool) override {
    limits_.tick();
    touched();
  }
  bool wait_output_drained(uint32_t) override {
    touched();
    return true;
  }
  void discard_output() override { touched(); }
  void close() override {}
  std::string error_text() const override { return gone_ ? "Input/output error" : "Fault"; }

 private:
  // Nothing may reach a line after a call has reported it gone.
  void touched() const {
    if (gone_) {
      std::fprintf(stderr, "the port was touched after it went away\n");
      std::abort();
    }
  }

  // The failure this call meets, if any.
  std::optional<ByteIo> troubled() {
    touched();
    ++calls_;
    const Plan& plan = limits_.plan;
    if (plan.trouble == Trouble::failing_calls && calls_ % plan.every == 0) {
      return ByteIo{false, 0};
    }
    if (plan.trouble == Trouble::hang_up && calls_ >= plan.at_call) {
      gone_ = true;
      return ByteIo{false, 0, true};
    }
    return std::nullopt;
  }

  uint64_t calls_ = 0;
  bool gone_ = false;
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
  uint32_t read_timeout_ms_ = 0;
  Limits& limits_;
};

class FuzzConsole : public Console {
 public:
  FuzzConsole(std::string input, Limits& limits, bool status)
      : input_(std::move(input)), limits_(limits), status_(status) {}
  void write(std::string_view) override { limits_.tick(); }
  bool read_line(std::string& line) override {
    limits_.tick();
    if (pos_ >= input_.size()) return false;
    size_t end = input_.find('\n', pos_);
    if (end == std::string::npos) end = input_.size();
    line = input_.substr(pos_, end - pos_);
    pos_ = end + 1;
    return true;
  }
  void wait_key() override { limits_.tick(); }
  void set_key_mode(bool) override {}
  int poll_key() override {
    limits_.tick();
    return -1;
  }
  bool has_keyboard() const override { return false; }
  // One run in eight makes the status lines, as at a terminal, so that
  // their code is fuzzed too; they cost a run several times its time.
  bool shows_status() const override { return status_; }
  void status(std::string_view) override {}
  void diagnostic(std::string_view) override { limits_.tick(); }
  Stop stop_requested() override {
    const Plan& plan = limits_.plan;
    return plan.trouble == Trouble::stop && limits_.clock.now >= plan.at_ms ? plan.why : Stop::none;
  }

 private:
  std::string input_;
  size_t pos_ = 0;
  Limits& limits_;
  bool status_;
};

std::string g_scratch;

void check_and_clear_scratch() {
  DIR* dir = opendir(g_scratch.c_str());
  if (dir == nullptr) return;
  while (dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    std::string path = g_scratch;
    path += '/';
    path += name;
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      const off_t size = st.st_size;
      bool image_size = false;
      for (off_t c = 2048; c <= 65536; c <<= 1) image_size = image_size || size == c;
      if (!image_size) {
        std::fprintf(stderr, "file %s left with %lld bytes\n", name.c_str(),
                     static_cast<long long>(size));
        std::abort();
      }
    }
    if (S_ISDIR(st.st_mode)) {
      rmdir(path.c_str());
    } else {
      unlink(path.c_str());
    }
  }
  closedir(dir);
}

void remove_scratch() {
  check_and_clear_scratch();
  rmdir(g_scratch.c_str());
}

// The image files of a run go to a folder of their own. It is made with
// the first input, not at start: with -jobs the first process only starts
// the others, and its folder is where their logs belong.
void enter_scratch() {
  if (!g_scratch.empty()) return;
  char pattern[] = "/tmp/chipferry-fuzz-XXXXXX";
  if (mkdtemp(pattern) == nullptr) std::abort();
  g_scratch = pattern;
  if (chdir(pattern) != 0) std::abort();
  std::atexit(remove_scratch);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  enter_scratch();
  size_t split = size;
  for (size_t i = 0; i + 1 < size; ++i) {
    if (data[i] == 0 && data[i + 1] == 0) {
      split = i;
      break;
    }
  }
  std::string typed(reinterpret_cast<const char*>(data), split);
  // File names stay inside the scratch folder.
  if (typed.find('/') != std::string::npos) return -1;
  const size_t device_at = split + 2 <= size ? split + 2 : size;

  test::VirtualClock clock;
  Limits limits(clock);
  limits.plan = plan_for(size);
  FuzzSerial serial(data + device_at, size - device_at, limits);
  FuzzConsole console(std::move(typed), limits, size % 8 == 0);
  // An image to load, so that uploads are reached.
  if (std::FILE* image = std::fopen("a", "wb")) {
    static const uint8_t kImage[2048] = {1, 2, 3};
    std::fwrite(kImage, 1, sizeof kImage, image);
    std::fclose(image);
  }
  auto session = std::make_unique<Session>(serial, console, clock);
  try {
    const int code = run_program(*session);
    if (session->stop != Stop::none && code != stop_status(session->stop)) {
      std::fprintf(stderr, "a run asked to end gave exit code %d\n", code);
      std::abort();
    }
  } catch (const Enough&) {
  }
  check_and_clear_scratch();
  return 0;
}
