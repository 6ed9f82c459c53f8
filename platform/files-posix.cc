#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "platform/files.h"

namespace chipferry {
namespace {

// As many links as the kernel follows in one path before it gives up.
constexpr int kMaxLinks = 40;

// Reasons the system has no words for.
constexpr char kChanged[] = "it changed while it was read";
constexpr char kNoEnd[] = "it has no end to read up to (a FIFO, a socket or a terminal)";
constexpr char kNotAFile[] = "it is no plain file";
constexpr char kEmptyName[] = "the name is empty";

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

// The system's words for `error`, as a failure's reason.
FileSaved failed(int error) { return {false, std::strerror(error)}; }

// Reads exactly `size` bytes, and then finds the end: a file that shrank
// or grew meanwhile is no image. A read that would wait fails. The reason
// of a failure, or empty.
std::string read_exactly(int fd, uint8_t* into, size_t size) {
  size_t have = 0;
  while (have < size) {
    const ssize_t n = read(fd, into + have, size - have);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::strerror(errno);
    if (n == 0) return kChanged;
    have += static_cast<size_t>(n);
  }
  uint8_t past_end = 0;
  ssize_t n = 0;
  do {
    n = read(fd, &past_end, 1);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return std::strerror(errno);
  return n == 0 ? std::string() : kChanged;
}

FileContents read_open_file(int fd, bool (*size_ok)(uint64_t)) {
  FileContents file;
  struct stat info {};
  if (fstat(fd, &info) != 0) return {FileRead::cannot_read, {}, 0, std::strerror(errno)};
  // A folder opens, and on some file systems even has a size.
  if (S_ISDIR(info.st_mode)) return {FileRead::cannot_read, {}, 0, std::strerror(EISDIR)};
  // A FIFO, a socket or a terminal has no end to seek to: nothing of it
  // is read. /dev/null and /dev/zero end at 0.
  const off_t end = lseek(fd, 0, SEEK_END);
  if (end < 0 || lseek(fd, 0, SEEK_SET) != 0) return {FileRead::cannot_read, {}, 0, kNoEnd};
  if (!size_ok(static_cast<uint64_t>(end))) {
    return {FileRead::size_refused, {}, static_cast<uint64_t>(end), {}};
  }
  file.data.resize(static_cast<size_t>(end));
  file.reason = read_exactly(fd, file.data.data(), file.data.size());
  if (!file.reason.empty()) return {FileRead::cannot_read, {}, 0, std::move(file.reason)};
  file.result = FileRead::ok;
  file.size = file.data.size();
  return file;
}

// Writes all of `data`, in as many calls as the system wants; errno says
// why not.
bool write_all(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) errno = ENOSPC;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// The file `path` stands for: symbolic links in its last part are followed
// one by one, a relative one from the folder it lies in, up to a name that
// is no link, or that names nothing yet and is to be made. The link itself
// then stays as it is. An errno on a loop or a link that cannot be read;
// 0 when the path is found.
int follow_links(std::string& path) {
  for (int links = 0; links <= kMaxLinks; ++links) {
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) return errno == ENOENT ? 0 : errno;
    if (!S_ISLNK(info.st_mode)) return 0;
    char text[PATH_MAX];
    const ssize_t n = readlink(path.c_str(), text, sizeof text);
    if (n < 0) return errno;
    if (n == 0 || static_cast<size_t>(n) >= sizeof text) return ENAMETOOLONG;
    std::string next = text[0] == '/' ? std::string() : folder_of(path) + "/";
    next.append(text, static_cast<size_t>(n));
    path = std::move(next);
  }
  return ELOOP;
}

// The file itself, written as "wb" would write it: it keeps its owner,
// group, mode and every link to it, but a failure half-way leaves it
// damaged, so this is only the way out where no temporary file can take
// its place. Rewritten before it is cut to length, a file of the same size
// needs no new room on the disk.
FileSaved write_in_place(const std::string& target, const uint8_t* data, size_t size) {
  const int fd = open(target.c_str(), O_WRONLY | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return failed(errno);
  struct stat info {};
  FileSaved saved{true, {}};
  const bool plain = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  if (!plain) {
    saved = {false, kNotAFile};
  } else if (!write_all(fd, data, size) || ftruncate(fd, static_cast<off_t>(size)) != 0 ||
             fsync(fd) != 0) {
    saved = failed(errno);
  }
  if (close(fd) != 0 && saved.ok) saved = failed(errno);
  return saved;
}

// Whether the file there may be replaced: only a plain file, and only one
// that could be written, since a rename would otherwise swap a device node
// for an ordinary file. Empty, or why not.
std::string why_not_replaced(const std::string& target, const struct stat& old) {
  if (S_ISDIR(old.st_mode)) return std::strerror(EISDIR);
  if (!S_ISREG(old.st_mode)) return kNotAFile;
  if (access(target.c_str(), W_OK) != 0) return std::strerror(errno);
  return {};
}

// The new contents in the temporary file `fd`, with the mode of the file
// they replace: an errno, or 0.
int fill_temporary(int fd, bool exists, const struct stat& old, const uint8_t* data, size_t size) {
  int error = 0;
  // After fchown, which may clear the set-id bits.
  if (fchmod(fd, exists ? old.st_mode & 07777 : default_file_mode()) != 0 ||
      !write_all(fd, data, size) || fsync(fd) != 0) {
    error = errno;
  }
  if (close(fd) != 0 && error == 0) error = errno;
  return error;
}

}  // namespace

FileContents read_file(const char* name, bool (*size_ok)(uint64_t)) {
  // Without O_NONBLOCK a FIFO would hold the open until someone writes to
  // it; O_NOCTTY keeps a terminal named by mistake from becoming ours.
  const int fd = open(name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return {FileRead::cannot_read, {}, 0, std::strerror(errno)};
  FileContents file = read_open_file(fd, size_ok);
  close(fd);
  return file;
}

FileSaved replace_file(const char* name, const uint8_t* data, size_t size) {
  if (name[0] == '\0') return {false, kEmptyName};
  std::string target = name;
  if (const int error = follow_links(target); error != 0) return failed(error);
  if (target.back() == '/') return failed(EISDIR);
  struct stat old {};
  const bool exists = stat(target.c_str(), &old) == 0;
  if (exists) {
    if (std::string why = why_not_replaced(target, old); !why.empty()) return {false, why};
  }

  const std::string folder = folder_of(target);
  std::string temporary = folder + "/.chipferry-XXXXXX";
  const int fd = mkstemp(temporary.data());
  if (fd < 0) {
    // A folder that takes no new file: the file, if it may be written,
    // is written in place, as "wb" would.
    if (exists && (errno == EACCES || errno == EPERM)) return write_in_place(target, data, size);
    return failed(errno);
  }
  // Only root may give a file away, and only a member of a group may give
  // it that group: where the new file cannot have the old one's owner and
  // group, the old file is written in place and keeps them.
  if (exists && fchown(fd, old.st_uid, old.st_gid) != 0) {
    close(fd);
    unlink(temporary.c_str());
    return write_in_place(target, data, size);
  }
  int error = fill_temporary(fd, exists, old, data, size);
  if (error == 0 && std::rename(temporary.c_str(), target.c_str()) != 0) error = errno;
  if (error != 0) {
    unlink(temporary.c_str());
    return failed(error);
  }
  // Makes the new name itself durable; the file is saved either way.
  const int folder_fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder_fd >= 0) {
    (void)fsync(folder_fd);
    close(folder_fd);
  }
  return {true, {}};
}

std::string_view text_line_end() { return "\n"; }

}  // namespace chipferry
