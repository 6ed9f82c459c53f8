#include <io.h>
#include <windows.h>

#include <cstdio>
#include <string>

#include "platform/files.h"

namespace chipferry {
namespace {

std::string folder_of(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  if (slash == std::string::npos) return ".";
  return path.substr(0, slash + 1);
}

}  // namespace

bool replace_file(const char* name, const uint8_t* data, size_t size) {
  if (name[0] == '\0') return false;
  const std::string target = name;
  if (target.back() == '/' || target.back() == '\\') return false;
  const DWORD attributes = GetFileAttributesA(name);
  if (attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0) {
    return false;
  }

  char temporary[MAX_PATH];
  if (GetTempFileNameA(folder_of(target).c_str(), "cfy", 0, temporary) == 0) return false;
  std::FILE* file = std::fopen(temporary, "wb");
  if (file == nullptr) {
    DeleteFileA(temporary);
    return false;
  }
  bool written = std::fwrite(data, 1, size, file) == size;
  written = std::fflush(file) == 0 && written;
  written = _commit(_fileno(file)) == 0 && written;
  written = std::fclose(file) == 0 && written;
  if (!written ||
      !MoveFileExA(temporary, name, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    DeleteFileA(temporary);
    return false;
  }
  return true;
}

}  // namespace chipferry
