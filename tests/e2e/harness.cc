#include "tests/e2e/harness.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "trace/trace.h"

extern char** environ;

namespace chipferry::test::e2e {

namespace {

// Where the kernel holds a process that would not end, for the failure
// message: a hang seen once in a soak is otherwise a hang without a clue.
std::string where_held(int pid) {
  std::string where;
  for (const char* what : {"wchan", "syscall"}) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/" + what);
    std::string text;
    std::getline(in, text);
    where += std::string(where.empty() ? "" : ", ") + what + " " + text;
  }
  return where;
}

// Every time limit, times CHIPFERRY_E2E_TIME_SCALE when that is a number
// above 1: a program under Wine, say, starts and runs slower.
milliseconds scaled(milliseconds limit) {
  const char* scale = std::getenv("CHIPFERRY_E2E_TIME_SCALE");
  const double factor = scale != nullptr ? std::atof(scale) : 1.0;
  return factor > 1.0
             ? milliseconds{static_cast<long long>(static_cast<double>(limit.count()) * factor)}
             : limit;
}

// Wine takes LOCALAPPDATA from its prefix, whatever the environment says:
// there the marks of every test's COM1 share one folder, emptied as each
// test begins.
void forget_wine_marks() {
  const char* prefix = std::getenv("WINEPREFIX");
  if (prefix == nullptr || *prefix == '\0') return;
  const std::filesystem::path users = std::filesystem::path(prefix) / "drive_c" / "users";
  std::error_code ignored;
  for (const auto& user : std::filesystem::directory_iterator(users, ignored)) {
    std::filesystem::remove_all(user.path() / "AppData" / "Local" / "chipferry", ignored);
  }
}

// A cache folder for the test that runs now, its own: the mark of an
// upload that a killed run leaves there must reach no other test, which
// may get the same pseudo-terminal. Removed when the next test asks.
std::string test_cache() {
  static std::unique_ptr<TempDir> folder;
  static const ::testing::TestInfo* owner = nullptr;
  const ::testing::TestInfo* now = ::testing::UnitTest::GetInstance()->current_test_info();
  if (!folder || owner != now) {
    folder = std::make_unique<TempDir>();
    owner = now;
    forget_wine_marks();
  }
  return folder->path().string();
}

}  // namespace

Process::Process(const Setup& setup) : name_(setup.argv.at(0)) {
  std::vector<std::string> env_strings;
  for (char** e = environ; *e != nullptr; ++e) env_strings.emplace_back(*e);
  std::vector<std::string> env = {"XDG_CACHE_HOME=" + test_cache()};
  env.insert(env.end(), setup.env.begin(), setup.env.end());
  for (const std::string& over : env) {
    const size_t equals = over.find('=');
    const std::string name = over.substr(0, equals) + "=";
    std::erase_if(env_strings, [&](const std::string& e) { return e.rfind(name, 0) == 0; });
    if (equals != std::string::npos) env_strings.push_back(over);
  }
  std::vector<char*> argv, envp;
  for (const std::string& a : setup.argv) argv.push_back(const_cast<char*>(a.c_str()));
  for (const std::string& e : env_strings) envp.push_back(const_cast<char*>(e.c_str()));
  argv.push_back(nullptr);
  envp.push_back(nullptr);

  int in_pipe[2] = {-1, -1}, out_pipe[2] = {-1, -1};
  if (setup.terminal_fd < 0) {
    if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0) {
      ADD_FAILURE() << "pipe: " << std::strerror(errno);
      return;
    }
  }
  pid_ = fork();
  if (pid_ == 0) {
    if (setup.terminal_fd >= 0) {
      setsid();
      ioctl(setup.terminal_fd, TIOCSCTTY, 0);
      for (int fd : {0, 1, 2}) dup2(setup.terminal_fd, fd);
    } else {
      dup2(in_pipe[0], 0);
      dup2(out_pipe[1], 1);
    }
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  if (setup.terminal_fd < 0) {
    ::close(in_pipe[0]);
    ::close(out_pipe[1]);
    in_fd_ = in_pipe[1];
    out_fd_ = out_pipe[0];
    // A child that stops reading must not hang the test.
    fcntl(in_fd_, F_SETFL, O_NONBLOCK);
  }
}

Process::~Process() {
  if (pid_ > 0 && status_ < 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  close_input();
  close_output();
}

void Process::write_input(const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(in_fd_, text.data() + done, text.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno == EAGAIN) {
      read_some(10);  // it may be waiting for us to take its output first
    } else {
      return;  // it has gone; its exit code tells the rest
    }
  }
}

void Process::close_input() {
  if (in_fd_ >= 0) ::close(in_fd_);
  in_fd_ = -1;
}

void Process::close_output() {
  if (out_fd_ >= 0) ::close(out_fd_);
  out_fd_ = -1;
}

bool Process::read_some(int timeout_ms) {
  if (out_fd_ < 0) {
    poll(nullptr, 0, timeout_ms);
    return false;
  }
  pollfd p{out_fd_, POLLIN, 0};
  if (poll(&p, 1, timeout_ms) <= 0) return false;
  char chunk[4096];
  const ssize_t n = ::read(out_fd_, chunk, sizeof chunk);
  if (n <= 0) {
    ::close(out_fd_);
    out_fd_ = -1;
    return false;
  }
  out_.append(chunk, static_cast<size_t>(n));
  return true;
}

bool Process::read_until(const std::string& text, milliseconds limit) {
  limit = scaled(limit);
  const auto end = std::chrono::steady_clock::now() + limit;
  while (out_.find(text) == std::string::npos) {
    if (out_fd_ < 0 || std::chrono::steady_clock::now() >= end) return false;
    read_some(20);
  }
  return true;
}

int Process::wait(milliseconds limit) {
  limit = scaled(limit);
  const auto end = std::chrono::steady_clock::now() + limit;
  while (status_ < 0) {
    read_some(20);
    int raw = 0;
    if (waitpid(pid_, &raw, WNOHANG) == pid_) {
      status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
      while (read_some(0)) {
      }
      break;
    }
    if (std::chrono::steady_clock::now() >= end) {
      ADD_FAILURE() << name_ << " still running after " << limit.count() << " ms ("
                    << where_held(pid_) << "); killed";
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      status_ = -1;
      pid_ = -1;
      return -1;
    }
  }
  return status_;
}

void Process::signal(int sig) { kill(pid_, sig); }

Sim::Sim(const TempDir& dir, const std::vector<std::string>& options) : log_path(dir / "sim.log") {
  Process::Setup setup;
  setup.argv = {CHIPFERRY_SIM_BIN, "--no-pace", "--duration-ms", "0", "--log", log_path};
  setup.argv.insert(setup.argv.end(), options.begin(), options.end());
  process_ = std::make_unique<Process>(setup);
  if (!process_->read_until("\n", milliseconds{10000})) {
    ADD_FAILURE() << "chipferry-sim did not name its port; it said: " << process_->out();
    return;
  }
  port = process_->out().substr(0, process_->out().find('\n'));
}

Sim::~Sim() {
  if (exit_code_ < 0) stop();
  // The traffic is what a failure is best read from.
  if (::testing::Test::HasFailure()) std::printf("chipferry-sim log:\n%s", log().c_str());
}

int Sim::stop() {
  if (exit_code_ < 0 && process_) {
    process_->signal(SIGTERM);
    exit_code_ = process_->wait();
  }
  return exit_code_;
}

std::string Sim::log() const { return read_file<std::string>(log_path); }

bool Sim::wait_for_log(const std::string& text, milliseconds limit) const {
  limit = scaled(limit);
  const auto end = std::chrono::steady_clock::now() + limit;
  while (log().find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() >= end) return false;
    poll(nullptr, 0, 10);
  }
  return true;
}

milliseconds Sim::limit_after_abandoned_download() const {
  const auto end = std::chrono::steady_clock::now() + scaled(kRunLimit);
  std::string log_now = log();
  while (log_bytes(log_now, '>').find("S8\r\x1b") == std::string::npos) {
    if (std::chrono::steady_clock::now() >= end) {
      ADD_FAILURE() << "the ESC never reached the simulator";
      break;
    }
    poll(nullptr, 0, 10);
    log_now = log();
  }
  const auto sent = static_cast<long long>(log_bytes(log_now, '<').size());
  return kRunLimit + milliseconds{sent * 75};
}

RunResult run_chipferry(const std::string& port, const std::string& input,
                        const std::vector<std::string>& args) {
  auto p = start_chipferry(port, args);
  p->write_input(input);
  p->close_input();
  RunResult run;
  run.code = p->wait();
  run.out = p->out();
  return run;
}

Process::Setup chipferry_setup(const std::string& port, const std::vector<std::string>& args) {
  Process::Setup setup;
  const char* program = std::getenv("CHIPFERRY_E2E_PROGRAM");
  if (program == nullptr || *program == '\0') {
    setup.argv = {CHIPFERRY_BIN};
    setup.argv.insert(setup.argv.end(), args.begin(), args.end());
    setup.env = {"CHIPFERRY_COM1=" + port};
    return setup;
  }
  std::istringstream words(program);
  for (std::string word; words >> word;) setup.argv.push_back(word);
  setup.argv.insert(setup.argv.end(), args.begin(), args.end());
  // The port is reached through a link the other build's COM1 maps to; a
  // port on another machine is reached as it is named.
  const char* link = std::getenv("CHIPFERRY_E2E_PORT_LINK");
  if (link != nullptr && port.rfind("rfc2217://", 0) != 0) {
    std::remove(link);
    if (symlink(port.c_str(), link) != 0) std::perror(link);
    setup.env = {"CHIPFERRY_COM1"};
  } else {
    setup.env = {"CHIPFERRY_COM1=" + port};
  }
  return setup;
}

std::unique_ptr<Process> start_chipferry(const std::string& port,
                                         const std::vector<std::string>& args) {
  return std::make_unique<Process>(chipferry_setup(port, args));
}

Terminal::Terminal() {
  EXPECT_EQ(openpty(&master_, &terminal_, nullptr, nullptr, nullptr), 0);
  // Only chipferry gets the terminal, and only as 0, 1 and 2.
  for (int fd : {master_, terminal_}) fcntl(fd, F_SETFD, FD_CLOEXEC);
  EXPECT_EQ(tcgetattr(terminal_, &before_), 0);
}

Terminal::~Terminal() {
  program_.reset();
  ::close(master_);
  ::close(terminal_);
}

Process& Terminal::start(const std::string& port) {
  Process::Setup setup = chipferry_setup(port);
  setup.terminal_fd = terminal_;
  program_ = std::make_unique<Process>(setup);
  return *program_;
}

void Terminal::press(const std::string& keys) {
  ASSERT_EQ(::write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
}

bool Terminal::see(const std::string& text, milliseconds limit) {
  std::string rest = screen.substr(seen_);
  const bool found = read_screen(master_, text, rest, limit);
  screen.resize(seen_);
  screen += rest;
  if (found) seen_ += rest.find(text) + text.size();
  return found;
}

int Terminal::finish() {
  const int code = program_->wait();
  read_screen(master_, "\x01never\x01", screen, milliseconds{50});
  return code;
}

void Terminal::expect_settings_as_before() const {
  termios after{};
  ASSERT_EQ(tcgetattr(terminal_, &after), 0);
  EXPECT_EQ(after.c_iflag, before_.c_iflag);
  EXPECT_EQ(after.c_oflag, before_.c_oflag);
  EXPECT_EQ(after.c_cflag, before_.c_cflag);
  EXPECT_EQ(after.c_lflag, before_.c_lflag);
  EXPECT_EQ(std::memcmp(after.c_cc, before_.c_cc, sizeof after.c_cc), 0);
}

bool read_screen(int master, const std::string& text, std::string& screen, milliseconds limit) {
  limit = scaled(limit);
  const auto end = std::chrono::steady_clock::now() + limit;
  while (screen.find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() >= end) return false;
    pollfd p{master, POLLIN, 0};
    if (poll(&p, 1, 20) <= 0) continue;
    char chunk[1024];
    const ssize_t n = ::read(master, chunk, sizeof chunk);
    if (n <= 0) return false;
    screen.append(chunk, static_cast<size_t>(n));
  }
  return true;
}

std::string after_banner(const std::string& out) {
  EXPECT_EQ(out.rfind(kBannerStart, 0), 0u) << out;
  const size_t credits_end = out.find("\n\n", kBannerStart.size());
  if (credits_end == std::string::npos) {
    ADD_FAILURE() << "no banner in: " << out;
    return out;
  }
  return out.substr(credits_end + 2);
}

std::string repeat(const std::string& s, int n) {
  std::string all;
  for (int i = 0; i < n; ++i) all += s;
  return all;
}

std::string log_bytes(const std::string& log, char direction) {
  // A log read while the simulator writes it may end inside a line.
  const size_t complete = log.rfind('\n');
  trace::Trace lines;
  std::string error;
  if (!trace::parse(
          std::string_view(log).substr(0, complete == std::string::npos ? 0 : complete + 1), lines,
          error)) {
    ADD_FAILURE() << "the simulator's log is no trace: " << error;
    return {};
  }
  const auto kind =
      direction == trace::kSent ? trace::Entry::Kind::sent : trace::Entry::Kind::received;
  std::string bytes;
  for (const trace::Entry& entry : lines.entries) {
    if (entry.kind == kind) bytes += entry.data;
  }
  return bytes;
}

}  // namespace chipferry::test::e2e
