#include <windows.h>

#include <string>

#include "platform/files.h"

namespace chipferry {
namespace {

std::string folder_of(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  if (slash == std::string::npos) return ".";
  return path.substr(0, slash + 1);
}

// Reads exactly `size` bytes, and then finds the end: a file that shrank
// or grew meanwhile is no image.
bool read_exactly(HANDLE file, uint8_t* into, size_t size) {
  size_t have = 0;
  while (have < size) {
    DWORD got = 0;
    const DWORD want = static_cast<DWORD>(size - have);
    if (ReadFile(file, into + have, want, &got, nullptr) == 0 || got == 0) return false;
    have += got;
  }
  uint8_t past_end = 0;
  DWORD got = 0;
  return ReadFile(file, &past_end, 1, &got, nullptr) != 0 && got == 0;
}

FileRead read_open_file(HANDLE file, bool (*size_ok)(uint64_t), std::vector<uint8_t>& data) {
  switch (GetFileType(file)) {
    case FILE_TYPE_DISK:
      break;
    case FILE_TYPE_CHAR:
      // NUL, CON or a comm port: a device without a size, as /dev/null is
      // elsewhere; nothing of it is read.
      if (!size_ok(0)) return FileRead::size_refused;
      data.clear();
      return FileRead::ok;
    default:
      // A pipe has no end until its writer says so.
      return FileRead::cannot_read;
  }
  LARGE_INTEGER end{};
  if (GetFileSizeEx(file, &end) == 0 || end.QuadPart < 0) return FileRead::cannot_read;
  if (!size_ok(static_cast<uint64_t>(end.QuadPart))) return FileRead::size_refused;
  std::vector<uint8_t> bytes(static_cast<size_t>(end.QuadPart));
  if (!read_exactly(file, bytes.data(), bytes.size())) return FileRead::cannot_read;
  data = std::move(bytes);
  return FileRead::ok;
}

bool write_all(HANDLE file, const uint8_t* data, size_t size) {
  while (size > 0) {
    DWORD written = 0;
    if (WriteFile(file, data, static_cast<DWORD>(size), &written, nullptr) == 0 || written == 0) {
      return false;
    }
    data += written;
    size -= written;
  }
  return true;
}

// The file a symbolic link or junction names, when it exists. A link
// whose file does not exist is not followed: it would take reading the
// reparse point itself, and replacing the link with a file is worse than
// refusing.
bool follow_link(std::string& target) {
  const HANDLE file = CreateFileA(target.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  char path[MAX_PATH];
  const DWORD length = GetFinalPathNameByHandleA(file, path, sizeof path, FILE_NAME_NORMALIZED);
  CloseHandle(file);
  if (length == 0 || length >= sizeof path) return false;
  target.assign(path, length);
  // "\\?\C:\..." as the system gives it; the folder must suit
  // GetTempFileName, which wants a plain path.
  if (target.rfind("\\\\?\\", 0) == 0 && target.size() > 6 && target[5] == ':') target.erase(0, 4);
  return true;
}

// The file itself, written as "wb" would write it: it keeps its attributes,
// owner and access list, but a failure half-way leaves it damaged, so this
// is only the way out where no temporary file can take its place.
bool write_in_place(const std::string& target, const uint8_t* data, size_t size) {
  const HANDLE file = CreateFileA(target.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  bool written = GetFileType(file) == FILE_TYPE_DISK && write_all(file, data, size) &&
                 SetEndOfFile(file) != 0 && FlushFileBuffers(file) != 0;
  written = CloseHandle(file) != 0 && written;
  return written;
}

// The complete temporary file takes the place of `target`. ReplaceFile
// gives it the replaced file's attributes, owner and access list. Where it
// fails with both files still under their own names (Wine's always does),
// or has already moved the old file aside, a plain move still saves the
// image: the name must never be left empty.
bool put_in_place(const char* temporary, const std::string& target, bool exists) {
  return (exists && ReplaceFileA(target.c_str(), temporary, nullptr,
                                 REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr) != 0) ||
         MoveFileExA(temporary, target.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

}  // namespace

FileRead read_file(const char* name, bool (*size_ok)(uint64_t), std::vector<uint8_t>& data) {
  // A folder does not open without FILE_FLAG_BACKUP_SEMANTICS.
  const HANDLE file = CreateFileA(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return FileRead::cannot_read;
  const FileRead result = read_open_file(file, size_ok, data);
  CloseHandle(file);
  return result;
}

bool replace_file(const char* name, const uint8_t* data, size_t size) {
  if (name[0] == '\0') return false;
  std::string target = name;
  if (target.back() == '/' || target.back() == '\\') return false;
  DWORD attributes = GetFileAttributesA(name);
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    if (!follow_link(target)) return false;
    attributes = GetFileAttributesA(target.c_str());
  }
  const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
  if (exists && (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0) {
    return false;
  }

  char temporary[MAX_PATH];
  if (GetTempFileNameA(folder_of(target).c_str(), "cfy", 0, temporary) == 0) {
    // A folder that takes no new file: the file, if it may be written,
    // is written in place, as "wb" would.
    return exists && GetLastError() == ERROR_ACCESS_DENIED && write_in_place(target, data, size);
  }
  const HANDLE file = CreateFileA(temporary, GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  bool written =
      file != INVALID_HANDLE_VALUE && write_all(file, data, size) && FlushFileBuffers(file) != 0;
  if (file != INVALID_HANDLE_VALUE) written = CloseHandle(file) != 0 && written;
  if (!written || !put_in_place(temporary, target, exists)) {
    DeleteFileA(temporary);
    return false;
  }
  return true;
}

}  // namespace chipferry
