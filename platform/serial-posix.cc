#include "platform/serial-posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <glob.h>
#include <grp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/com1.h"
#include "platform/deadline.h"
#include "platform/poll-posix.h"
#include "platform/upload_mark.h"

namespace chipferry {
namespace {

// The errors of a device that has gone rather than of one call.
bool is_hang_up(int error) { return error == EIO || error == ENXIO || error == ENODEV; }

// error_ for a hang-up that has no errno of its own, and for an empty
// CHIPFERRY_COM1, which names nothing to open.
constexpr int kHungUp = -1;
constexpr int kNoName = -2;

// The device a name leads to, links followed; empty when it cannot be told.
std::string real_path(const std::string& path) {
  char* resolved = realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return {};
  std::string device = resolved;
  std::free(resolved);
  return device;
}

}  // namespace

PosixSerial::~PosixSerial() {
  if (fd_ >= 0) ::close(fd_);
}

// A call that failed; its reason is kept for error_text().
ByteIo PosixSerial::failed() {
  error_ = errno;
  if (is_hang_up(error_)) return hung_up(error_);
  return {false, 0};
}

ByteIo PosixSerial::hung_up(int error) {
  error_ = error;
  return {false, 0, true};
}

std::string PosixSerial::device_path(const char*) const { return com1_device(default_path_); }

OpenResult PosixSerial::open(const char* port_name) {
  path_ = device_path(port_name);
  if (path_.empty()) {
    error_ = kNoName;
    return OpenResult::not_found;
  }
  const int fd = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    error_ = errno;
    return (error_ == ENOENT || error_ == ENOTDIR) ? OpenResult::not_found : OpenResult::failed;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    error_ = errno;
    ::close(fd);
    return OpenResult::failed;
  }
  ioctl(fd, TIOCEXCL);  // not a terminal: get_state tells
  fd_ = fd;
  return OpenResult::ok;
}

bool PosixSerial::get_state() {
  if (tcgetattr(fd_, &tio_) != 0) {
    error_ = errno;
    return false;
  }
  return true;
}

bool PosixSerial::set_state() {
  termios tio = tio_;
  // Raw bytes both ways, no echo, no line editing, no character mapping and
  // no software flow control; 8 data bits, no parity.
  cfmakeraw(&tio);
  // One stop bit, and nothing left of a parity the port had.
  tio.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARODD | CMSPAR);
  // CRTSCTS is both halves of the handshake. CLOCAL: the modem lines play
  // no part, so nothing waits for carrier.
  tio.c_cflag |= CRTSCTS | CREAD | CLOCAL;
  // A read never waits in the kernel; its time-out is poll()'s.
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  if (cfsetispeed(&tio, B19200) != 0 || cfsetospeed(&tio, B19200) != 0 ||
      tcsetattr(fd_, TCSANOW, &tio) != 0) {
    error_ = errno;
    return false;
  }
  return true;
}

bool PosixSerial::set_timeouts(const Timeouts& t) {
  read_timeout_ms_ = static_cast<int>(t.read_ms);
  write_timeout_ms_ = static_cast<int>(t.write_ms);
  return true;
}

ByteIo PosixSerial::write_byte(uint8_t byte) {
  for (bool waited = false;; waited = true) {
    const ssize_t n = ::write(fd_, &byte, 1);
    if (n == 1) return {true, 1};
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return failed();
    if (waited || wait_for(fd_, POLLOUT, Deadline(write_timeout_ms_)) == 0) return {true, 0};
  }
}

ByteIo PosixSerial::read_byte(uint8_t& byte) {
  // poll() may report input that read() then does not deliver yet (a
  // pseudo-terminal does this now and then): only a time-out that really
  // ran out makes an empty read, or a download counts empty reads that
  // never were.
  if (take_received(byte)) return {true, 1};
  const Deadline deadline(read_timeout_ms_);
  for (;;) {
    const ssize_t n = ::read(fd_, received_, sizeof received_);
    if (n > 0) {
      received_end_ = static_cast<size_t>(n);
      received_pos_ = 0;
      take_received(byte);
      return {true, 1};
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return failed();
    if (deadline.left_ms() == 0) return {true, 0};
    const short seen = wait_for(fd_, POLLIN, deadline);
    if (seen == 0) return {true, 0};
    // The line has hung up: what it still holds is read, then the device
    // is gone. Without VMIN a terminal reads 0 whenever it has nothing, so
    // only the hang-up that poll() saw makes that 0 the end.
    if ((seen & (POLLHUP | POLLERR)) != 0) {
      const ssize_t last = ::read(fd_, received_, sizeof received_);
      if (last < 0 && errno != EAGAIN && errno != EINTR) return failed();
      if (last <= 0) return hung_up(kHungUp);
      received_end_ = static_cast<size_t>(last);
      received_pos_ = 0;
      take_received(byte);
      return {true, 1};
    }
  }
}

bool PosixSerial::take_received(uint8_t& byte) {
  if (received_pos_ >= received_end_) return false;
  byte = received_[received_pos_++];
  return true;
}

int PosixSerial::queued_output() const {
  int queued = 0;
  if (ioctl(fd_, TIOCOUTQ, &queued) != 0) return 0;
  return queued;
}

void PosixSerial::set_break(bool on) {
  if (on) {
    // Linux lets the queue drain before it raises a break, without limit:
    // a programmer holding CTS off would stop us here for good.
    if (queued_output() > 0) tcflush(fd_, TCOFLUSH);
    ioctl(fd_, TIOCSBRK);
  } else {
    ioctl(fd_, TIOCCBRK);
  }
}

bool PosixSerial::wait_output_drained(uint32_t max_ms) {
  for (uint32_t waited = 0;; waited += 5) {
    if (queued_output() == 0) return true;
    if (waited >= max_ms) return false;
    clock_.sleep_ms(5);
  }
}

void PosixSerial::discard_output() { tcflush(fd_, TCOFLUSH); }

std::string PosixSerial::error_text() const {
  if (error_ == kHungUp) return "the line hung up";
  if (error_ == kNoName) return kCom1Empty;
  return error_ != 0 ? std::strerror(error_) : std::string();
}

std::string PosixSerial::mark_key() const {
  std::string key = real_path(path_);
  return key.empty() ? path_ : key;
}

std::string PosixSerial::mark_upload(bool on) { return keep_upload_mark(mark_key(), on); }

bool PosixSerial::upload_marked() { return upload_mark_found(mark_key()); }

void PosixSerial::close() {
  if (fd_ < 0) return;
  // What is still queued now is held by the programmer; close() would
  // otherwise wait up to 30 s for it. Only a queue that is there is
  // dropped: a device that cannot tell (a pseudo-terminal always says
  // empty) may still be passing the closing bytes on.
  if (!wait_output_drained(static_cast<uint32_t>(write_timeout_ms_) * 4)) tcflush(fd_, TCOFLUSH);
  ::close(fd_);
  fd_ = -1;
}

namespace {

bool in_group(gid_t group) {
  if (getegid() == group) return true;
  std::vector<gid_t> groups(static_cast<size_t>(std::max(getgroups(0, nullptr), 0)));
  const int count = getgroups(static_cast<int>(groups.size()), groups.data());
  return count > 0 &&
         std::find(groups.begin(), groups.begin() + count, group) != groups.begin() + count;
}

// What stands between the user and a device they may not open: most often
// a group they are not in yet, which owns the device and may read and write
// it. Anything else, ls -l shows.
std::string permission_advice(const std::string& path) {
  std::string look = "ls -l " + path + " shows who may open it";
  struct stat info {};
  constexpr mode_t kGroupReadWrite = S_IRGRP | S_IWGRP;
  if (stat(path.c_str(), &info) != 0 || info.st_gid == 0 ||
      (info.st_mode & kGroupReadWrite) != kGroupReadWrite) {
    return look;
  }
  // A member already: the group is not what stands in the way.
  if (in_group(info.st_gid)) return look;
  char buffer[4096];
  group entry{};
  group* found = nullptr;
  if (getgrgid_r(info.st_gid, &entry, buffer, sizeof buffer, &found) != 0 || found == nullptr) {
    return look;
  }
  const std::string name = found->gr_name;
  return "the group " + name + " may open it: add yourself to it (sudo usermod -aG " + name +
         " $USER) and log in again";
}

// The first line of a small file of /proc, without its line end.
std::string first_line(const std::string& path) {
  std::string line;
  if (std::FILE* file = std::fopen(path.c_str(), "r")) {
    for (int c = std::fgetc(file); c != EOF && c != '\n'; c = std::fgetc(file)) {
      line += static_cast<char>(c);
    }
    std::fclose(file);
  }
  return line;
}

bool holds_open(const std::string& process, const std::string& device) {
  const std::string folder = "/proc/" + process + "/fd";
  DIR* fds = opendir(folder.c_str());
  if (fds == nullptr) return false;
  bool holds = false;
  while (const dirent* entry = readdir(fds)) {
    char target[PATH_MAX];
    const std::string link = folder + "/" + entry->d_name;
    const ssize_t n = readlink(link.c_str(), target, sizeof target);
    if (n > 0 && std::string_view(target, static_cast<size_t>(n)) == device) {
      holds = true;
      break;
    }
  }
  closedir(fds);
  return holds;
}

// Who holds the device open, as /proc tells it: "minicom (process 4242)".
// Only the processes the user may look into are seen; a few are named.
std::string holder_advice(const std::string& path) {
  constexpr int kNamed = 3;
  std::string advice = "another program holds it";
  const std::string device = real_path(path);
  if (device.empty()) return advice;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return advice;
  int named = 0;
  while (const dirent* entry = readdir(proc)) {
    const std::string process = entry->d_name;
    if (process.find_first_not_of("0123456789") != std::string::npos) continue;
    if (!holds_open(process, device)) continue;
    advice += named == 0 ? ": " : ", ";
    advice += first_line("/proc/" + process + "/comm");
    advice += " (process " + process + ")";
    if (++named == kNamed) break;
  }
  closedir(proc);
  return advice;
}

// The serial devices a USB adapter makes, which are what a missing COM1
// most often should have been.
std::string devices_advice() {
  constexpr size_t kNamed = 6;
  std::vector<std::string> found;
  for (const char* pattern : {"/dev/ttyUSB*", "/dev/ttyACM*", "/dev/serial/by-id/*"}) {
    glob_t matches{};
    if (glob(pattern, 0, nullptr, &matches) == 0) {
      found.insert(found.end(), matches.gl_pathv, matches.gl_pathv + matches.gl_pathc);
    }
    globfree(&matches);
  }
  if (found.empty()) {
    return "there is no /dev/ttyUSB*, /dev/ttyACM* or /dev/serial/by-id/*; CHIPFERRY_COM1 "
           "names the device to use";
  }
  std::string advice = "serial devices here: ";
  for (size_t i = 0; i < found.size() && i < kNamed; ++i) advice += (i == 0 ? "" : ", ") + found[i];
  if (found.size() > kNamed) advice += " and " + std::to_string(found.size() - kNamed) + " more";
  return advice + "; CHIPFERRY_COM1 names the one to use";
}

}  // namespace

std::string PosixSerial::advice() const {
  switch (error_) {
    case EACCES:
    case EPERM:
      return permission_advice(path_);
    case EBUSY:
    case EWOULDBLOCK:
      return holder_advice(path_);
    case ENOENT:
    case ENOTDIR:
      return devices_advice();
    case kNoName:
      return com1_empty_advice(default_path_);
    default:
      return {};
  }
}

}  // namespace chipferry
