// The termios backend on a real pseudo-terminal pair.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/program.h"
#include "platform/com1.h"
#include "platform/serial-posix.h"
#include "platform/upload_mark.h"
#include "tests/support/as_nobody.h"
#include "tests/support/asleep.h"
#include "tests/support/scripted_console.h"
#include "tests/support/temp_dir.h"

// A pseudo-terminal has no break, so what the backend asks of the driver is
// what shows one: this binary is linked with its ioctl() wrapped
// (-Wl,--wrap=ioctl), and the breaks asked for are noted here.
std::vector<unsigned long> breaks_asked;
extern "C" int __real_ioctl(int fd, unsigned long request, ...);
extern "C" int __wrap_ioctl(int fd, unsigned long request, ...) {
  va_list args;
  va_start(args, request);
  void* arg = va_arg(args, void*);
  va_end(args);
  if (request == TIOCSBRK || request == TIOCCBRK) breaks_asked.push_back(request);
  return __real_ioctl(fd, request, arg);
}

// The port is held with flock(), which locks the device's node. Every
// pseudo-terminal master is opened through the one /dev/ptmx, so a lock on
// one would be a lock on all of them, met by any other program that locks
// it (this very test, run in another worktree). The test that needs a
// master as its port opens it unlocked: flock() is wrapped as ioctl() is,
// and passes calls on while ports_locked holds.
bool ports_locked = true;
extern "C" int __real_flock(int fd, int operation);
extern "C" int __wrap_flock(int fd, int operation) {
  return ports_locked ? __real_flock(fd, operation) : 0;
}

namespace chipferry::test {
namespace {

// A pseudo-terminal whose device end stands in for COM1.
struct Pty {
  Pty() {
    char name[256] = {};
    EXPECT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    path = name;
  }
  ~Pty() {
    if (master >= 0) ::close(master);
    if (slave >= 0) ::close(slave);
  }
  int master = -1;
  int slave = -1;
  std::string path;
};

// Points COM1 at `path` for the lifetime of the object.
struct Com1 {
  explicit Com1(const std::string& path) { setenv("CHIPFERRY_COM1", path.c_str(), 1); }
  ~Com1() { setenv("CHIPFERRY_COM1", "/nonexistent/set-CHIPFERRY_COM1-in-this-test", 1); }
};

// Opens COM1 and sets it up as the program does.
void open_configured(PosixSerial& serial) {
  ASSERT_EQ(serial.open("COM1"), OpenResult::ok);
  ASSERT_TRUE(serial.get_state());
  ASSERT_TRUE(serial.set_state());
  ASSERT_TRUE(serial.set_timeouts({60, 60}));
}

// COM1 a pseudo-terminal, opened and set up as the program does.
struct OpenPort {
  OpenPort() { open_configured(serial); }
  Pty pty;
  Com1 com1{pty.path};
  PosixSerial serial;
};

TEST(PosixSerial, OpensAndConfiguresAPseudoTerminal) {
  Pty pty;
  Com1 com1(pty.path);
  termios before{};
  ASSERT_EQ(tcgetattr(pty.slave, &before), 0);
  before.c_cflag |= HUPCL | CSTOPB;
  ASSERT_EQ(tcsetattr(pty.slave, TCSANOW, &before), 0);
  PosixSerial serial;
  open_configured(serial);
  termios line{};
  ASSERT_EQ(tcgetattr(pty.slave, &line), 0);
  EXPECT_EQ(cfgetispeed(&line), B19200);
  EXPECT_EQ(cfgetospeed(&line), B19200);
  EXPECT_EQ(line.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), CS8 | CRTSCTS);
  // What the line does not need stays as the port had it.
  EXPECT_EQ(line.c_cflag & HUPCL, HUPCL);
  EXPECT_EQ(line.c_cc[VINTR], before.c_cc[VINTR]);

  // Bytes pass untouched in both directions: raw mode.
  for (uint8_t byte : {uint8_t{0x00}, uint8_t{'\r'}, uint8_t{0x11}, uint8_t{0xFF}}) {
    EXPECT_EQ(serial.write_byte(byte).count, 1u);
    uint8_t got = 0;
    ASSERT_EQ(::read(pty.master, &got, 1), 1);
    EXPECT_EQ(got, byte);
    ASSERT_EQ(::write(pty.master, &byte, 1), 1);
    got = 0x55;
    const ByteIo io = serial.read_byte(got);
    EXPECT_TRUE(io.call_ok);
    EXPECT_EQ(io.count, 1u);
    EXPECT_EQ(got, byte);
  }

  // A silent line: an empty read after the 60 ms time-out, not a failure.
  const auto start = std::chrono::steady_clock::now();
  uint8_t got = 0;
  const ByteIo io = serial.read_byte(got);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_TRUE(io.call_ok);
  EXPECT_EQ(io.count, 0u);
  EXPECT_GE(waited, std::chrono::milliseconds(55));
  EXPECT_LT(waited, std::chrono::seconds(2));
  // A time-out that has already run out is as empty.
  ASSERT_TRUE(serial.set_timeouts({0, 60}));
  EXPECT_EQ(serial.read_byte(got).count, 0u);
  serial.close();
}

// The whole start-up on the real backend, with the pauses on a virtual clock.
struct StartUp {
  int code;
  std::string out;
  std::vector<std::string> why;  ///< the diagnostics on standard error
};

StartUp start_up_with(const std::string& path) {
  Com1 com1(path);
  VirtualClock clock;
  ScriptedConsole console(clock);
  PosixSerial serial;
  auto session = std::make_unique<Session>(serial, console, clock);
  console.input = "q\n";
  const int code = run_program(*session);
  return {code, console.out, console.diagnostics};
}

std::string the_reason(const StartUp& run) {
  return run.why.size() == 1 ? run.why[0] : "<" + std::to_string(run.why.size()) + " lines>";
}

// This process's open descriptors, each with what it is open on.
std::vector<std::string> open_descriptors() {
  std::vector<std::string> open;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code gone;  // the iterator's own, closed by now
    open.push_back(entry.path().filename().string() + " " +
                   std::filesystem::read_symlink(entry.path(), gone).string());
  }
  std::sort(open.begin(), open.end());
  return open;
}

TEST(PosixSerial, PortFailuresGiveTheirExitCodesAndSayWhy) {
  const std::string missing = "/nonexistent/ttyCHIPFERRY";
  StartUp run = start_up_with(missing);
  EXPECT_EQ(run.code, 1);
  EXPECT_NE(run.out.find("Port COM1 doesn't exist\n"), std::string::npos);
  // Which devices there are depends on the machine.
  EXPECT_EQ(the_reason(run).rfind(
                "COM1 (" + missing + ") cannot be opened: " + std::strerror(ENOENT) + "; ", 0),
            0u)
      << the_reason(run);
  EXPECT_NE(the_reason(run).find("CHIPFERRY_COM1 names"), std::string::npos);

  // Set but empty, as CHIPFERRY_COM1=$PORT with PORT unset: no device,
  // never the machine's usual one, which no test may open.
  {
    Com1 empty("");
    ASSERT_EQ(com1_device("/dev/ttyS0"), "");
  }
  run = start_up_with("");
  EXPECT_EQ(run.code, 1);
  EXPECT_EQ(run.out.substr(run.out.find("\n\n") + 2), "Port COM1 doesn't exist\n");
  EXPECT_EQ(the_reason(run),
            "COM1 cannot be opened: CHIPFERRY_COM1 is set but empty; name the device in it, or "
            "unset it to use /dev/ttyS0");

  char file[] = "/tmp/chipferry-port-XXXXXX";
  const int fd = mkstemp(file);
  ASSERT_GE(fd, 0);
  ::close(fd);
  run = start_up_with(std::string(file) + "/tty");
  // One that is there but may not be opened is refused, never missing,
  // whoever runs the test.
  ASSERT_EQ(chmod(file, 0), 0);
  const auto code = [&] { return std::to_string(start_up_with(file).code); };
  EXPECT_EQ(geteuid() == 0 ? as_nobody(code) : code(), "2");
  unlink(file);
  EXPECT_EQ(run.code, 1);
  EXPECT_NE(
      the_reason(run).find(std::string(" cannot be opened: ") + std::strerror(ENOTDIR) + "; "),
      std::string::npos);

  // A folder cannot be opened for reading and writing at all.
  run = start_up_with("/");
  EXPECT_EQ(run.code, 2);
  EXPECT_EQ(the_reason(run), std::string("COM1 (/) cannot be opened: ") + std::strerror(EISDIR));

  // Not a terminal: its line settings cannot be read.
  run = start_up_with("/dev/null");
  EXPECT_EQ(run.code, 3);
  EXPECT_NE(run.out.find("Can't get Port COM1 state\n"), std::string::npos);
  EXPECT_EQ(the_reason(run),
            std::string("COM1 (/dev/null) is not a serial device: ") + std::strerror(ENOTTY));

  // Held by another opener, here this very process. Looking through
  // /proc for it leaves no descriptor open behind.
  Pty pty;
  Com1 com1(pty.path);
  PosixSerial holder;
  ASSERT_EQ(holder.open("COM1"), OpenResult::ok);
  const std::vector<std::string> open_before = open_descriptors();
  run = start_up_with(pty.path);
  EXPECT_EQ(open_descriptors(), open_before);
  EXPECT_EQ(run.code, 2);
  EXPECT_NE(run.out.find("Can't access Port COM1\n"), std::string::npos);
  std::string me;
  std::getline(std::ifstream("/proc/self/comm"), me);
  EXPECT_EQ(the_reason(run).rfind("COM1 (" + pty.path + ") cannot be opened: ", 0), 0u);
  const std::string held =
      "; another program holds it: " + me + " (process " + std::to_string(getpid()) + ")";
  EXPECT_TRUE(the_reason(run).ends_with(held)) << the_reason(run);
  holder.close();
}

// A user who may not open the device hears which group may.
TEST(PosixSerial, APortTheUserMayNotOpenNamesTheGroupThatMay) {
  if (geteuid() != 0) GTEST_SKIP() << "only root can make a device nobody may not open";
  const group* dialout = getgrnam("dialout");
  if (dialout == nullptr) GTEST_SKIP() << "no group dialout on this machine";
  Pty pty;
  ASSERT_EQ(chown(pty.path.c_str(), 0, dialout->gr_gid), 0);
  ASSERT_EQ(chmod(pty.path.c_str(), 0660), 0);
  const std::string why = as_nobody([&] {
    const StartUp run = start_up_with(pty.path);
    return std::to_string(run.code) + " " + the_reason(run);
  });
  EXPECT_EQ(why, "2 COM1 (" + pty.path + ") cannot be opened: " + std::strerror(EACCES) +
                     "; the group dialout may open it: add yourself to it (sudo usermod -aG "
                     "dialout $USER) and log in again");
}

// Sets (or with nullptr unsets) the environment variable `name` for the
// lifetime of the object, then puts back what was there.
class EnvVar {
 public:
  EnvVar(const char* name, const char* value) : name_(name) {
    const char* was = std::getenv(name);
    if (was != nullptr) was_ = was;
    set(value);
  }
  ~EnvVar() { set(was_ ? was_->c_str() : nullptr); }
  EnvVar(const EnvVar&) = delete;
  EnvVar& operator=(const EnvVar&) = delete;

 private:
  void set(const char* value) {
    if (value != nullptr) {
      setenv(name_, value, 1);
    } else {
      unsetenv(name_);
    }
  }
  const char* name_;
  std::optional<std::string> was_;
};

// The mark a run keeps while an upload is under way, found by the next
// run on the same device, whatever name leads to it, and by no other.
TEST(PosixSerial, KeepsTheMarkOfAnUploadInTheCacheForTheDeviceItOpened) {
  TempDir dir;
  EnvVar cache("XDG_CACHE_HOME", (dir / "cache").c_str());
  Pty pty;
  const std::string link = dir / "by-id";
  ASSERT_EQ(symlink(pty.path.c_str(), link.c_str()), 0);
  const std::string file = dir / "cache/chipferry/" + upload_mark_name(pty.path);
  {
    Com1 com1(pty.path);
    PosixSerial run;
    open_configured(run);
    EXPECT_FALSE(run.upload_marked());
    EXPECT_EQ(run.mark_upload(true), "");
    // Killed here: the mark stays.
  }
  struct stat info {};
  ASSERT_EQ(stat(file.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(read_file<std::string>(file), pty.path + "\n");
  {
    Pty other;
    Com1 com1(other.path);
    PosixSerial elsewhere;
    open_configured(elsewhere);
    EXPECT_FALSE(elsewhere.upload_marked());
  }
  {
    Com1 com1(link);
    PosixSerial next;
    open_configured(next);
    EXPECT_TRUE(next.upload_marked());
    EXPECT_EQ(next.mark_upload(false), "");
    EXPECT_FALSE(next.upload_marked());
    EXPECT_EQ(next.mark_upload(false), "");
  }

  Com1 com1(pty.path);
  PosixSerial serial;
  open_configured(serial);
  // Without XDG_CACHE_HOME, or with a relative one, the cache is HOME's.
  ASSERT_EQ(mkdir((dir / "home").c_str(), 0700), 0);
  {
    EnvVar relative("XDG_CACHE_HOME", "cache");
    EnvVar home("HOME", (dir / "home").c_str());
    EXPECT_EQ(serial.mark_upload(true), "");
    EXPECT_EQ(read_file<std::string>(dir / "home/.cache/chipferry/" + upload_mark_name(pty.path)),
              pty.path + "\n");
  }
  // A cache that cannot hold it says why; so does an environment with none.
  write_file(dir / "plain", std::string("x"));
  {
    EnvVar plain("XDG_CACHE_HOME", (dir / "plain").c_str());
    EXPECT_EQ(serial.mark_upload(true),
              "cannot make " + dir / "plain/chipferry: " + std::strerror(ENOTDIR));
  }
  {
    EnvVar none("XDG_CACHE_HOME", nullptr);
    EnvVar home("HOME", nullptr);
    EXPECT_EQ(serial.mark_upload(true),
              "no cache folder: neither XDG_CACHE_HOME nor HOME names one");
    EXPECT_FALSE(serial.upload_marked());
  }
}

// Nobody reads the other end: fill what the kernel will take.
int fill_queue(PosixSerial& serial) {
  int written = 0;
  while (written < 1 << 20 && serial.write_byte('x').count == 1) ++written;
  return written;
}

TEST(PosixSerial, CloseDoesNotWaitForBytesTheLineHolds) {
  OpenPort port;
  PosixSerial& serial = port.serial;
  EXPECT_GT(fill_queue(serial), 0);
  const auto start = std::chrono::steady_clock::now();
  serial.close();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

// The far end reading all that comes, until `returned`.
void drain(int master, const std::atomic<bool>& returned) {
  char chunk[4096];
  for (pollfd p{master, POLLIN, 0}; !returned;) {
    if (poll(&p, 1, 10) > 0) (void)!::read(master, chunk, sizeof chunk);
  }
}

TEST(PosixSerial, AWriteWaitingOnAFullQueueGoesOnceTheQueueFrees) {
  OpenPort port;
  PosixSerial& serial = port.serial;
  EXPECT_GT(fill_queue(serial), 0);
  ASSERT_TRUE(serial.set_timeouts({60, 20000}));
  const ByteIo io =
      once_it_waits([&] { return serial.write_byte('y'); },
                    [&](const std::atomic<bool>& returned) { drain(port.pty.master, returned); });
  EXPECT_TRUE(io.call_ok);
  EXPECT_EQ(io.count, 1u);
  serial.close();
}

TEST(PosixSerial, ABreakIsRaisedAndCleared) {
  OpenPort port;
  PosixSerial& serial = port.serial;
  breaks_asked.clear();
  serial.set_break(true);
  serial.set_break(false);
  EXPECT_EQ(breaks_asked, (std::vector<unsigned long>{TIOCSBRK, TIOCCBRK}));
  serial.close();
}

// A pseudo-terminal's slave whose master closes loses what it was sent, as
// a port whose adapter is pulled does; a master whose slave closes keeps
// it. So the port of the next test is a master, and its far end the slave,
// which a signal makes send a byte and hang up while the read sleeps: when
// poll() looks again, both are there.
int far_end = -1;
void send_and_hang_up(int) {
  (void)!::write(far_end, "X", 1);
  ::close(far_end);
}

// The descriptor open on a pseudo-terminal master: the port's, when the
// test holds none.
int ptmx_fd() {
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    if (std::filesystem::read_symlink(entry.path(), error).filename() == "ptmx") {
      return std::stoi(entry.path().filename());
    }
  }
  return -1;
}

// A byte that comes with the hang-up is read; only then is the device gone.
TEST(PosixSerial, TheLastByteBeforeAHangUpIsRead) {
  Com1 com1("/dev/ptmx");
  PosixSerial serial;
  ports_locked = false;
  const OpenResult opened = serial.open("COM1");
  ports_locked = true;
  ASSERT_EQ(opened, OpenResult::ok);
  ASSERT_TRUE(serial.set_timeouts({20000, 60}));
  const int master = ptmx_fd();
  ASSERT_GE(master, 0);
  std::string fd_info;
  std::getline(std::ifstream("/proc/self/fdinfo/" + std::to_string(master)), fd_info, '\0');
  ASSERT_EQ(fd_info.find("lock:"), std::string::npos) << fd_info;
  ASSERT_EQ(unlockpt(master), 0);
  far_end = ::open(ptsname(master), O_RDWR | O_NOCTTY);
  ASSERT_GE(far_end, 0);
  signal(SIGUSR1, send_and_hang_up);
  const pthread_t me = pthread_self();
  uint8_t byte = 0;
  const ByteIo io = once_it_waits([&] { return serial.read_byte(byte); },
                                  [&](const std::atomic<bool>&) { pthread_kill(me, SIGUSR1); });
  signal(SIGUSR1, SIG_DFL);
  EXPECT_EQ(io.count, 1u);
  EXPECT_EQ(byte, 'X');
  EXPECT_TRUE(serial.read_byte(byte).gone);
  serial.close();
}

// The other end closed, as a pulled USB adapter's driver closes it: every
// call says at once that the device has gone, and why.
TEST(PosixSerial, AVanishedDeviceSaysItHasGone) {
  Pty pty;
  Com1 com1(pty.path);
  PosixSerial serial;
  ASSERT_EQ(serial.open("COM1"), OpenResult::ok);
  ASSERT_TRUE(serial.set_timeouts({60, 60}));
  ::close(pty.master);
  ::close(pty.slave);
  pty.master = pty.slave = -1;
  uint8_t byte = 0;
  const ByteIo read = serial.read_byte(byte);
  EXPECT_FALSE(read.call_ok);
  EXPECT_TRUE(read.gone);
  EXPECT_EQ(read.count, 0u);
  const ByteIo write = serial.write_byte('x');
  EXPECT_FALSE(write.call_ok);
  EXPECT_TRUE(write.gone);
  EXPECT_EQ(serial.error_text(), "Input/output error");
  serial.close();
}

}  // namespace
}  // namespace chipferry::test
