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
// stops the clock, a temporary file left behind, an image file that is
// not one whole block, a port touched after it went away, or a run
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
#include <string_view>

#include "app/program.h"
#include "catalogue/catalogue.h"
#include "platform/files.h"
#include "sim/peer.h"
#include "tests/support/scripted_console.h"
#include "tests/support/sim_serial.h"
#include "tests/support/virtual_clock.h"
#include "transfer/text_image.h"

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

// The far end of the fuzzer's line: the input's device bytes, each ready
// at once, then silence.
class Transmission : public sim::Peer {
 public:
  explicit Transmission(std::string_view bytes) : bytes_(bytes) {}
  void receive(uint8_t, uint64_t) override {}
  void advance(uint64_t) override {}
  std::optional<uint64_t> next_ready() const override {
    return pos_ < bytes_.size() ? std::optional<uint64_t>(0) : std::nullopt;
  }
  uint8_t take() override { return static_cast<uint8_t>(bytes_[pos_++]); }
  void drop_output() override {}
  bool all_sent() const { return pos_ == bytes_.size(); }

 private:
  std::string_view bytes_;
  size_t pos_ = 0;
};

// Watches every call of the program to the line and the console.
struct Limits {
  Limits(test::VirtualClock& c, const Transmission& t, const Plan& p)
      : clock(c), device(t), plan(p) {}
  test::VirtualClock& clock;
  const Transmission& device;
  const Plan& plan;
  uint64_t used_at = 0;
  uint64_t last_now = 0;
  uint64_t calls = 0;

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
    if (device.all_sent()) {
      if (used_at == 0) used_at = clock.now + 1;
      if (clock.now > used_at + kAfterInputMs) throw Enough{};
    }
  }
};

// The line and the console of a run, troubled as `plan` says.
void set_up(const Plan& plan, test::SimSerial& serial, test::ScriptedConsole& console) {
  if (plan.trouble == Trouble::failing_calls)
    serial.failing_every = static_cast<uint32_t>(plan.every);
  if (plan.trouble == Trouble::hang_up) serial.hang_up_at_call = plan.at_call;
  if (plan.trouble == Trouble::stop) console.stop = {plan.why, plan.at_ms};
  console.keyboard = false;
}

std::string g_scratch;

// Images to load, so that uploads are reached: a raw one, and a text one
// whose block takes the programmer's type.
constexpr char kRawSeed[] = "a";
constexpr char kTextSeed[] = "h";
constexpr std::string_view kTextSeedImage = ":0100000041BE\n:00000001FF\n";

// What the program may leave in a file: a whole block, raw or as the text
// its name asks for. The text seed may still be as it was written.
bool written_whole(const std::string& name, const std::string& path) {
  const FileContents file = read_file(path.c_str(), [](uint64_t) { return true; });
  if (file.result != FileRead::ok) return false;
  if (save_format_for(name) == SaveFormat::raw) {
    const std::string_view seed(reinterpret_cast<const char*>(file.data.data()), file.data.size());
    return is_capacity(file.data.size()) || (name == kTextSeed && seed == kTextSeedImage);
  }
  const TextImage image = read_text_image(file.data);
  return !image.error && image.runs.size() == 1 && image.runs[0].address == 0 &&
         is_capacity(image.runs[0].bytes.size());
}

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
    if (lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && !written_whole(name, path)) {
      std::fprintf(stderr, "file %s left with %lld bytes, not a whole block\n", name.c_str(),
                   static_cast<long long>(st.st_size));
      std::abort();
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
  const Plan plan = plan_for(size);
  Transmission device(
      std::string_view(reinterpret_cast<const char*>(data + device_at), size - device_at));
  test::SimSerial serial(device, clock);
  test::ScriptedConsole console(clock);
  console.input = std::move(typed);
  // One run in eight makes the status lines, as at a terminal, so that
  // their code is fuzzed too; they cost a run several times its time.
  console.status_terminal = size % 8 == 0;
  set_up(plan, serial, console);
  Limits limits(clock, device, plan);
  serial.on_call = [&] { limits.tick(); };
  console.on_call = [&] { limits.tick(); };
  if (std::FILE* image = std::fopen(kRawSeed, "wb")) {
    static const uint8_t kImage[2048] = {1, 2, 3};
    std::fwrite(kImage, 1, sizeof kImage, image);
    std::fclose(image);
  }
  if (std::FILE* image = std::fopen(kTextSeed, "wb")) {
    std::fwrite(kTextSeedImage.data(), 1, kTextSeedImage.size(), image);
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
  // Nothing may reach a line after a call has reported it gone.
  if (serial.calls_after_hang_up != 0) {
    std::fprintf(stderr, "the port was touched after it went away\n");
    std::abort();
  }
  check_and_clear_scratch();
  return 0;
}
