#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/files.h"

namespace chipferry {
namespace {

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

}  // namespace

bool replace_file(const char* name, const uint8_t* data, size_t size) {
  if (name[0] == '\0') return false;
  std::string target = name;
  struct stat info {};
  // A link is written through, as opening the name would do.
  if (lstat(name, &info) == 0 && S_ISLNK(info.st_mode)) {
    if (char* resolved = realpath(name, nullptr)) {
      target = resolved;
      std::free(resolved);
    }
  }
  if (target.back() == '/') return false;
  mode_t mode = default_file_mode();
  if (stat(target.c_str(), &info) == 0) {
    // Only a plain file is replaced, and only one that could be written:
    // a rename would otherwise swap a device node for an ordinary file.
    if (!S_ISREG(info.st_mode) || access(target.c_str(), W_OK) != 0) return false;
    mode = info.st_mode & 07777;
  }

  const std::string folder = folder_of(target);
  std::string temporary = folder + "/.chipferry-XXXXXX";
  const int fd = mkstemp(temporary.data());
  if (fd < 0) return false;
  (void)fchmod(fd, mode);
  std::FILE* file = fdopen(fd, "wb");
  if (file == nullptr) {
    close(fd);
    unlink(temporary.c_str());
    return false;
  }
  bool written = std::fwrite(data, 1, size, file) == size;
  written = std::fflush(file) == 0 && written;
  written = fsync(fileno(file)) == 0 && written;
  written = std::fclose(file) == 0 && written;
  if (!written || std::rename(temporary.c_str(), target.c_str()) != 0) {
    unlink(temporary.c_str());
    return false;
  }
  // Makes the new name itself durable; the file is saved either way.
  const int folder_fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY);
  if (folder_fd >= 0) {
    (void)fsync(folder_fd);
    close(folder_fd);
  }
  return true;
}

}  // namespace chipferry
