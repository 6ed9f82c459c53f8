// chipferry-sim: a simulated SE4943 programmer on a pseudo-terminal.
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "chipferry/version.h"
#include "sim/programmer.h"
#include "sim/pty_host.h"
#include "sim/replay.h"
#include "trace/trace.h"

namespace chipferry::sim {
namespace {

// The host's own failures, apart from those of the program it runs; the
// values follow env(1) and timeout(1).
constexpr int kExitDiverged = 124;
constexpr int kExitSimFailed = 125;
constexpr int kExitCannotRun = 126;
constexpr int kExitNotFound = 127;
constexpr uint32_t kMaxDurationMs = 60000;
// After a replay has diverged, the program is asked to end with SIGTERM
// and made to with SIGKILL this much later.
constexpr unsigned kGraceSeconds = 2;

constexpr char kUsage[] =
    "Usage: chipferry-sim [OPTIONS] [--run PROGRAM [ARGS...]]\n"
    "\n"
    "A simulated Advantest SE4943 programmer on a pseudo-terminal.\n"
    "\n"
    "Without --run it prints the path of its serial end and serves it until\n"
    "interrupted; start chipferry with CHIPFERRY_COM1 set to that path.\n"
    "With --run it starts PROGRAM in this terminal with CHIPFERRY_COM1 set,\n"
    "serves the line while PROGRAM runs, and exits with PROGRAM's exit code.\n"
    "\n"
    "Options:\n"
    "  --chip TYPE[:FILE]  a chip of TYPE (full or short name) in the socket,\n"
    "                      blank, or holding the bytes of FILE (default: a blank\n"
    "                      chip of the selected type)\n"
    "  --empty-socket      no chip in the socket\n"
    "  --type NAME         the programmer's ROM type at start (default: the\n"
    "                      chip's type, else 2716)\n"
    "  --pace              move bytes at 19,200 baud, 0.52 ms a byte each way\n"
    "                      (the default)\n"
    "  --no-pace           move bytes as fast as the terminal takes them\n"
    "  --duration-ms N     every chip operation takes N ms, 0 to 60000\n"
    "                      (default: dump 800, compare 400, program 1500,\n"
    "                      erase 1500, blank check 300)\n"
    "  --log FILE          write the traffic of both directions to FILE\n"
    "  --fault F           misbehave; may be given more than once:\n"
    "      silent          never answer\n"
    "      checksum        the next checksum reply is one too high\n"
    "      code=NN         the next execute fails with the code frame \" #NN]\"\n"
    "      frame=TEXT      the next execute answers \"[\" and TEXT as it stands\n"
    "      preamble=N      downloads start with N zero bytes (normally 16)\n"
    "      surplus=N[:XX]  downloads put N bytes of hex value XX (normally 00)\n"
    "                      between the data and the closing prompt\n"
    "      hangup=upload:N the line goes away, as when a USB adapter is pulled,\n"
    "                      once N data bytes of an upload have come: both ends of\n"
    "                      the pseudo-terminal are closed, so the program's reads\n"
    "                      and writes fail (EIO); nothing more is served\n"
    "      hangup=command:TEXT\n"
    "                      the same when the command line TEXT comes, unanswered\n"
    "                      (ignoring case; R is the type query, S8 a download)\n"
    "  --replay TRACE      play the programmer's side of a session recorded with\n"
    "                      CHIPFERRY_TRACE instead of the model, and compare what\n"
    "                      the program sends with the recording; at the first\n"
    "                      difference say where on standard error, end PROGRAM\n"
    "                      and exit with 124 (no --chip, --type, --fault, ...)\n"
    "  --help              show this text\n"
    "  --version           show the version\n";

struct Options {
  const RomType* type = nullptr;
  const RomType* chip_type = nullptr;
  std::string chip_image;
  bool empty_socket = false;
  bool pace = true;
  bool durations_given = false;
  uint32_t duration_ms = 0;
  std::string log_path;
  std::vector<std::string> faults;
  std::string replay_path;
  bool model_options = false;  ///< any option of the model was given
  std::vector<char*> run;      ///< PROGRAM and its arguments, null-terminated
};

[[noreturn]] void usage_error(const std::string& message) {
  std::fprintf(stderr, "chipferry-sim: %s\nTry 'chipferry-sim --help'.\n", message.c_str());
  std::exit(kExitSimFailed);
}

const RomType* rom_type_or_usage_error(const std::string& name) {
  if (const RomType* t = rom_type_named(name)) return t;
  usage_error("no ROM type is called '" + name + "'");
}

// A whole decimal number no larger than `max`.
bool parse_number(const std::string& text, unsigned long max, unsigned long& value) {
  if (text.empty() || text.size() > 9 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  value = std::stoul(text);
  return value <= max;
}

[[noreturn]] void show_usage(Options&, const std::string&) {
  std::fputs(kUsage, stdout);
  std::exit(0);
}

// One option: its name, whether a value follows it, whether it sets up
// the model (which a replay has no use for), and what it does.
struct Option {
  const char* name;
  bool takes_value;
  bool model;
  void (*apply)(Options& o, const std::string& value);
};

constexpr Option kOptions[] = {
    {"--help", false, false, show_usage},
    {"-h", false, false, show_usage},
    {"--version", false, false,
     [](Options&, const std::string&) {
       std::fputs("chipferry-sim " CHIPFERRY_VERSION "\n", stdout);
       std::exit(0);
     }},
    {"--chip", true, true,
     [](Options& o, const std::string& v) {
       const size_t colon = v.find(':');
       o.chip_type = rom_type_or_usage_error(v.substr(0, colon));
       if (colon == std::string::npos) return;
       o.chip_image = v.substr(colon + 1);
       if (o.chip_image.empty()) usage_error("--chip: no file after ':'");
     }},
    {"--empty-socket", false, true, [](Options& o, const std::string&) { o.empty_socket = true; }},
    {"--type", true, true,
     [](Options& o, const std::string& v) { o.type = rom_type_or_usage_error(v); }},
    {"--pace", false, false, [](Options& o, const std::string&) { o.pace = true; }},
    {"--no-pace", false, false, [](Options& o, const std::string&) { o.pace = false; }},
    {"--duration-ms", true, true,
     [](Options& o, const std::string& v) {
       unsigned long ms = 0;
       if (!parse_number(v, kMaxDurationMs, ms)) {
         usage_error("--duration-ms takes a number of milliseconds from 0 to 60000");
       }
       o.durations_given = true;
       o.duration_ms = static_cast<uint32_t>(ms);
     }},
    {"--log", true, false, [](Options& o, const std::string& v) { o.log_path = v; }},
    {"--fault", true, true, [](Options& o, const std::string& v) { o.faults.push_back(v); }},
    {"--replay", true, false, [](Options& o, const std::string& v) { o.replay_path = v; }},
};

Options parse_options(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    // Everything after --run is the program's own.
    if (arg == "--run") {
      if (i + 1 >= argc) usage_error("--run needs a program");
      o.run.assign(argv + i + 1, argv + argc);
      o.run.push_back(nullptr);
      break;
    }
    const Option* option = nullptr;
    for (const Option& known : kOptions) {
      if (arg == known.name) option = &known;
    }
    if (option == nullptr) usage_error("unknown option '" + arg + "'");
    std::string value;
    if (option->takes_value) {
      if (i + 1 >= argc) usage_error(arg + " needs a value");
      value = argv[++i];
    }
    option->apply(o, value);
    if (option->model) o.model_options = true;
  }
  if (o.empty_socket && o.chip_type != nullptr)
    usage_error("--chip and --empty-socket exclude each other");
  if (!o.replay_path.empty() && o.model_options)
    usage_error(
        "--replay plays a recording; it takes no --chip, --empty-socket, --type, "
        "--duration-ms or --fault");
  return o;
}

void apply_fault(const std::string& fault, Programmer& p) {
  const size_t eq = fault.find('=');
  const std::string name = fault.substr(0, eq);
  const std::string arg = eq == std::string::npos ? "" : fault.substr(eq + 1);
  unsigned long n = 0;
  if (fault == "silent") {
    p.faults.silent = true;
  } else if (fault == "checksum") {
    p.faults.wrong_checksum = true;
  } else if (name == "code" && arg.size() == 2 &&
             std::isprint(static_cast<unsigned char>(arg[0])) != 0 &&
             std::isprint(static_cast<unsigned char>(arg[1])) != 0) {
    // Every error but an empty socket waits for the host's ESC before the
    // prompt comes.
    p.faults.execute_replies.push_back("[ERROR #" + arg + "]" + (arg == "06" ? "[C]" : ""));
  } else if (name == "frame" && eq != std::string::npos) {
    p.faults.execute_replies.push_back("[" + arg);
  } else if (name == "preamble" && parse_number(arg, 100000, n)) {
    p.faults.download_preamble_zeros = n;
  } else if (name == "surplus") {
    const size_t colon = arg.find(':');
    unsigned long byte = 0;
    const std::string hex = colon == std::string::npos ? "00" : arg.substr(colon + 1);
    if (!parse_number(arg.substr(0, colon), 100000, n) || hex.size() != 2 ||
        hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
      usage_error("--fault surplus=N[:XX] takes a count and a hexadecimal byte");
    }
    byte = std::stoul(hex, nullptr, 16);
    p.faults.download_surplus.assign(n, static_cast<char>(byte));
  } else if (name == "hangup" && arg.rfind("upload:", 0) == 0) {
    if (!parse_number(arg.substr(7), 1u << 16, n)) {
      usage_error("--fault hangup=upload:N takes a count of data bytes up to 65536");
    }
    p.faults.hang_up_after_upload_bytes = n;
  } else if (name == "hangup" && arg.rfind("command:", 0) == 0 && arg.size() > 8) {
    p.faults.hang_up_at_command = arg.substr(8);
  } else if (name == "hangup") {
    usage_error("--fault hangup= takes upload:N or command:TEXT");
  } else {
    usage_error("unknown fault '" + fault + "'");
  }
}

void set_up(const Options& o, Programmer& p) {
  // A break cannot cross a pseudo-terminal; silence after the data ends an
  // upload instead.
  p.end_upload_on_silence = true;
  p.selected = o.type != nullptr ? o.type : o.chip_type != nullptr ? o.chip_type : &kRomTypes[0];
  p.chip.present = !o.empty_socket;
  p.chip.type = o.chip_type != nullptr ? o.chip_type : p.selected;
  if (!o.chip_image.empty()) {
    std::ifstream in(o.chip_image, std::ios::binary);
    if (!in) usage_error("cannot read " + o.chip_image);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
    const size_t capacity = static_cast<size_t>(capacity_of(p.chip.type->size_class));
    if (bytes.size() > capacity) {
      usage_error(o.chip_image + " holds " + std::to_string(bytes.size()) + " bytes; a " +
                  p.chip.type->full_name + " holds " + std::to_string(capacity));
    }
    std::copy(bytes.begin(), bytes.end(), p.chip.cells.begin());
  }
  if (o.durations_given) {
    p.durations = {o.duration_ms, o.duration_ms, o.duration_ms, o.duration_ms, o.duration_ms};
  } else {
    p.durations.dump = 800;
    p.durations.compare = 400;
    p.durations.program = 1500;
    p.durations.erase = 1500;
    p.durations.blank_check = 300;
  }
  for (const std::string& fault : o.faults) apply_fault(fault, p);
}

std::string describe_socket(const Programmer& p, const Options& o) {
  if (!p.chip.present) return "socket empty";
  std::string text = std::string("a ") + p.chip.type->full_name + " in the socket, ";
  text += o.chip_image.empty() ? "blank" : "holding " + o.chip_image;
  return text + "; selected type " + p.selected->full_name;
}

// Starts the program with the signal mask it would have had without us.
pid_t start_program(const Options& o, const std::string& port, const sigset_t& old_mask) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  sigprocmask(SIG_SETMASK, &old_mask, nullptr);
  setenv("CHIPFERRY_COM1", port.c_str(), 1);
  execvp(o.run[0], o.run.data());
  const int error = errno;
  std::fprintf(stderr, "chipferry-sim: cannot run %s: %s\n", o.run[0], std::strerror(error));
  _exit(error == ENOENT ? kExitNotFound : kExitCannotRun);
}

// Reads the recording for --replay; exits when there is nothing to play.
std::unique_ptr<Replay> load_replay(const Options& o) {
  trace::Trace recording;
  std::string error;
  if (!trace::load(o.replay_path, recording, error)) {
    std::fprintf(stderr, "chipferry-sim: %s\n", error.c_str());
    std::exit(kExitSimFailed);
  }
  auto replay = std::make_unique<Replay>(recording, o.replay_path, o.pace);
  if (replay->empty()) {
    std::fprintf(stderr, "chipferry-sim: %s: no bytes to replay\n", o.replay_path.c_str());
    std::exit(kExitSimFailed);
  }
  return replay;
}

// chipferry-sim once its line is open: the host serving it, the program
// it started (none: it serves until it is stopped), and the replay, if it
// plays one. What it waits for besides the line, the signals and the
// program's end, comes as data on signal_fd, so that the host's one poll
// loop sees it.
struct Service {
  const Options& o;
  PtyHost& host;
  TrafficLog& log;
  Peer& peer;
  Replay* replay;  ///< nullptr: the model plays the programmer
  int signal_fd = -1;
  pid_t child = -1;
  bool ending = false;  ///< a replay has diverged; the program is being ended
};

void report_divergence(Service& sv) {
  std::fputs(sv.replay->report().c_str(), stderr);
  sv.log.note(sv.host.now_ns(), "the replay diverged");
  sv.log.flush();
}

// A replay that has diverged has the program ended; one that is complete
// with no program to wait for ends the service. Its exit code then.
std::optional<int> after_serving(Service& sv) {
  if (sv.replay == nullptr) return std::nullopt;
  if (sv.replay->diverged() && !sv.ending) {
    sv.ending = true;
    report_divergence(sv);
    if (sv.child < 0) return kExitDiverged;
    kill(sv.child, SIGTERM);
    alarm(kGraceSeconds);
  }
  if (sv.child < 0 && sv.replay->ended()) {
    sv.log.note(sv.host.now_ns(), "the replay is complete");
    return 0;
  }
  return std::nullopt;
}

// A child has ended; the exit code once it is the program.
std::optional<int> program_ended(Service& sv) {
  int status = 0;
  if (waitpid(sv.child, &status, WNOHANG) != sv.child) return std::nullopt;
  if (!sv.ending) sv.host.drain();
  const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  sv.log.note(sv.host.now_ns(),
              std::string(sv.o.run[0]) + " ended with exit code " + std::to_string(code));
  if (sv.replay == nullptr) return code;
  if (sv.ending) return kExitDiverged;
  // The program has gone, whether or not the host saw it close the port.
  sv.replay->port_closed(static_cast<uint64_t>(sv.host.now_ns() / 1'000'000));
  if (!sv.replay->diverged()) return code;
  report_divergence(sv);
  return kExitDiverged;
}

// One signal; the exit code when it ends the service.
std::optional<int> on_signal(Service& sv, const signalfd_siginfo& info) {
  const int sig = static_cast<int>(info.ssi_signo);
  if (sig == SIGALRM) {
    if (sv.ending && sv.child >= 0) kill(sv.child, SIGKILL);
    return std::nullopt;
  }
  if (sv.child < 0) {
    if (sig == SIGCHLD) return std::nullopt;
    sv.host.drain();
    sv.log.note(sv.host.now_ns(), std::string("stopped by ") + strsignal(sig));
    return 0;
  }
  if (sig == SIGCHLD) return program_ended(sv);
  // The terminal's Ctrl+C or hang-up (sent by the kernel) has reached the
  // program already; passed on, it would be a second Ctrl+C, which cuts the
  // program's own way out short. A signal sent to us alone is passed on.
  // Either way we end when it does.
  if (info.ssi_code != SI_KERNEL) kill(sv.child, sig);
  return std::nullopt;
}

int serve(Service& sv) {
  for (;;) {
    if (!sv.peer.ended()) sv.host.serve(sv.signal_fd);
    if (const std::optional<int> code = after_serving(sv)) return *code;
    signalfd_siginfo info{};
    if (read(sv.signal_fd, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) continue;
    if (const std::optional<int> code = on_signal(sv, info)) return *code;
  }
}

// The signals the service waits for, as data on the descriptor returned
// (-1 on failure); `old_mask` receives the mask a program is started with.
int signals_as_data(sigset_t& old_mask) {
  sigset_t signals;
  sigemptyset(&signals);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGCHLD, SIGALRM}) sigaddset(&signals, sig);
  sigprocmask(SIG_BLOCK, &signals, &old_mask);
  return signalfd(-1, &signals, SFD_CLOEXEC);
}

int run(int argc, char** argv) {
  const Options o = parse_options(argc, argv);
  Programmer programmer;
  std::unique_ptr<Replay> replay;
  if (o.replay_path.empty()) {
    set_up(o, programmer);
  } else {
    replay = load_replay(o);
  }
  Peer& peer = replay != nullptr ? static_cast<Peer&>(*replay) : programmer;

  TrafficLog log;
  if (!o.log_path.empty() && !log.open(o.log_path)) {
    std::fprintf(stderr, "chipferry-sim: cannot write %s: %s\n", o.log_path.c_str(),
                 std::strerror(errno));
    return kExitSimFailed;
  }
  PtyHost host(peer, log, o.pace);
  std::string error;
  if (!host.open(error)) {
    std::fprintf(stderr, "chipferry-sim: %s\n", error.c_str());
    return kExitSimFailed;
  }
  log.note(host.now_ns(),
           replay != nullptr ? "replaying " + o.replay_path : describe_socket(programmer, o));

  Service sv{o, host, log, peer, replay.get()};
  sigset_t old_mask;
  sv.signal_fd = signals_as_data(old_mask);
  if (sv.signal_fd < 0) {
    std::fprintf(stderr, "chipferry-sim: signalfd: %s\n", std::strerror(errno));
    return kExitSimFailed;
  }
  if (o.run.empty()) {
    std::printf("%s\n", host.serial_path().c_str());
    std::fflush(stdout);
  } else {
    sv.child = start_program(o, host.serial_path(), old_mask);
    if (sv.child < 0) {
      std::fprintf(stderr, "chipferry-sim: fork: %s\n", std::strerror(errno));
      return kExitSimFailed;
    }
    log.note(host.now_ns(), std::string("started ") + o.run[0]);
  }
  return serve(sv);
}

}  // namespace
}  // namespace chipferry::sim

int main(int argc, char** argv) { return chipferry::sim::run(argc, argv); }
