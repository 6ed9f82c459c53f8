#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/upload_mark.h"

namespace chipferry {
namespace {

// The cache folder the XDG base directories name, and ours in it; empty
// when the environment names none. A relative XDG_CACHE_HOME is to be
// ignored.
std::string cache_folder() {
  const char* xdg = std::getenv("XDG_CACHE_HOME");
  if (xdg != nullptr && xdg[0] == '/') return xdg;
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return std::string(home) + "/.cache";
  return {};
}

std::string failed(const char* what, const std::string& path, int error) {
  return std::string("cannot ") + what + " " + path + ": " + std::strerror(error);
}

// Our folder in the cache, made (for the user alone) when it is not there.
bool make_folder(const std::string& cache, std::string& why) {
  for (const std::string& folder : {cache, cache + "/chipferry"}) {
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
      why = failed("make", folder, errno);
      return false;
    }
  }
  return true;
}

}  // namespace

std::string keep_upload_mark(const std::string& key, bool on) {
  const std::string cache = cache_folder();
  if (cache.empty()) return "no cache folder: neither XDG_CACHE_HOME nor HOME names one";
  const std::string path = cache + "/chipferry/" + upload_mark_name(key);
  if (!on) {
    if (unlink(path.c_str()) != 0 && errno != ENOENT) return failed("remove", path, errno);
    return {};
  }
  std::string why;
  if (!make_folder(cache, why)) return why;
  // Never through a link someone left in its place.
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return failed("make", path, errno);
  // The file is the mark; the key in it is for a person who looks.
  const std::string text = key + "\n";
  const ssize_t written = write(fd, text.data(), text.size());
  static_cast<void>(written);
  close(fd);
  return {};
}

bool upload_mark_found(const std::string& key) {
  const std::string cache = cache_folder();
  if (cache.empty()) return false;
  struct stat info {};
  return lstat((cache + "/chipferry/" + upload_mark_name(key)).c_str(), &info) == 0;
}

}  // namespace chipferry
