#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <string>
#include <utility>

#include "platform/files.h"

namespace chipferry {
namespace {

// As many links as the kernel follows in one path before it gives up.
constexpr int kMaxLinks = 40;

std::string folder_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

mode_t default_file_mode() {
  const mode_t mask = umask(0);
  umask(mask);
  return static_cast<mode_t>(0666 & ~mask);
}

// Reads exactly `size` bytes, and then finds the end: a file that shrank
// or grew meanwhile is no image. A read that would wait fails.
bool read_exactly(int fd, uint8_t* into, size_t size) {
  size_t have = 0;
  while (have < size) {
    const ssize_t n = read(fd, into + have, size - have);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    have += static_cast<size_t>(n);
  }
  uint8_t past_end = 0;
  ssize_t n = 0;
  do {
    n = read(fd, &past_end, 1);
  } while (n < 0 && errno == EINTR);
  return n == 0;
}

FileRead read_open_file(int fd, bool (*size_ok)(uint64_t), std::vector<uint8_t>& data) {
  struct stat info {};
  // A folder opens, and on some file systems even has a size.
  if (fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) return FileRead::cannot_read;
  // A FIFO, a socket or a terminal has no end to seek to: nothing of it
  // is read. /dev/null and /dev/zero end at 0.
  const off_t end = lseek(fd, 0, SEEK_END);
  if (end < 0 || lseek(fd, 0, SEEK_SET) != 0) return FileRead::cannot_read;
  if (!size_ok(static_cast<uint64_t>(end))) return FileRead::size_refused;
  std::vector<uint8_t> bytes(static_cast<size_t>(end));
  if (!read_exactly(fd, bytes.data(), bytes.size())) return FileRead::cannot_read;
  data = std::move(bytes);
  return FileRead::ok;
}

// Writes all of `data`, in as many calls as the system wants.
bool write_all(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// The file `path` stands for: symbolic links in its last part are followed
// one by one, a relative one from the folder it lies in, up to a name that
// is no link, or that names nothing yet and is to be made. The link itself
// then stays as it is. False on a loop or a link that cannot be read.
bool follow_links(std::string& path) {
  for (int links = 0; links <= kMaxLinks; ++links) {
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) return errno == ENOENT;
    if (!S_ISLNK(info.st_mode)) return true;
    char text[PATH_MAX];
    const ssize_t n = readlink(path.c_str(), text, sizeof text);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof text) return false;
    std::string next = text[0] == '/' ? std::string() : folder_of(path) + "/";
    next.append(text, static_cast<size_t>(n));
    path = std::move(next);
  }
  return false;
}

// The file itself, written as "wb" would write it: it keeps its owner,
// group, mode and every link to it, but a failure half-way leaves it
// damaged, so this is only the way out where no temporary file can take
// its place. Rewritten before it is cut to length, a file of the same size
// needs no new room on the disk.
bool write_in_place(const std::string& target, const uint8_t* data, size_t size) {
  const int fd = open(target.c_str(), O_WRONLY | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info {};
  bool written = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && write_all(fd, data, size) &&
                 ftruncate(fd, static_cast<off_t>(size)) == 0 && fsync(fd) == 0;
  written = close(fd) == 0 && written;
  return written;
}

}  // namespace

FileRead read_file(const char* name, bool (*size_ok)(uint64_t), std::vector<uint8_t>& data) {
  // Without O_NONBLOCK a FIFO would hold the open until someone writes to
  // it; O_NOCTTY keeps a terminal named by mistake from becoming ours.
  const int fd = open(name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return FileRead::cannot_read;
  const FileRead result = read_open_file(fd, size_ok, data);
  close(fd);
  return result;
}

bool replace_file(const char* name, const uint8_t* data, size_t size) {
  if (name[0] == '\0') return false;
  std::string target = name;
  if (!follow_links(target) || target.back() == '/') return false;
  struct stat old {};
  const bool exists = stat(target.c_str(), &old) == 0;
  // Only a plain file is replaced, and only one that could be written: a
  // rename would otherwise swap a device node for an ordinary file.
  if (exists && (!S_ISREG(old.st_mode) || access(target.c_str(), W_OK) != 0)) return false;

  const std::string folder = folder_of(target);
  std::string temporary = folder + "/.chipferry-XXXXXX";
  const int fd = mkstemp(temporary.data());
  if (fd < 0) {
    // A folder that takes no new file: the file, if it may be written,
    // is written in place, as "wb" would.
    return exists && (errno == EACCES || errno == EPERM) && write_in_place(target, data, size);
  }
  // Only root may give a file away, and only a member of a group may give
  // it that group: where the new file cannot have the old one's owner and
  // group, the old file is written in place and keeps them.
  if (exists && fchown(fd, old.st_uid, old.st_gid) != 0) {
    close(fd);
    unlink(temporary.c_str());
    return write_in_place(target, data, size);
  }
  // After fchown, which may clear the set-id bits.
  bool written = fchmod(fd, exists ? old.st_mode & 07777 : default_file_mode()) == 0;
  written = written && write_all(fd, data, size) && fsync(fd) == 0;
  written = close(fd) == 0 && written;
  if (!written || std::rename(temporary.c_str(), target.c_str()) != 0) {
    unlink(temporary.c_str());
    return false;
  }
  // Makes the new name itself durable; the file is saved either way.
  const int folder_fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder_fd >= 0) {
    (void)fsync(folder_fd);
    close(folder_fd);
  }
  return true;
}

}  // namespace chipferry
