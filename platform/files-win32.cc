#include <windows.h>

#include <string>
#include <utility>

#include "platform/error-win32.h"
#include "platform/files.h"

namespace chipferry {
namespace {

// Reasons the system has no words for.
constexpr char kChanged[] = "it changed while it was read";
constexpr char kPipe[] = "it is a pipe, which has no end to read up to";
constexpr char kFolder[] = "it is a folder";
constexpr char kReadOnly[] = "it is read-only";
constexpr char kEmptyName[] = "the name is empty";

// The system's words for the last error, as a failure's reason.
std::string last_error() { return system_message(GetLastError()); }
FileSaved failed() { return {false, last_error()}; }

std::string folder_of(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  if (slash == std::string::npos) return ".";
  return path.substr(0, slash + 1);
}

// Reads exactly `size` bytes, and then finds the end: a file that shrank
// or grew meanwhile is no image. The reason of a failure, or empty.
std::string read_exactly(HANDLE file, uint8_t* into, size_t size) {
  size_t have = 0;
  while (have < size) {
    DWORD got = 0;
    const DWORD want = static_cast<DWORD>(size - have);
    if (ReadFile(file, into + have, want, &got, nullptr) == 0) return last_error();
    if (got == 0) return kChanged;
    have += got;
  }
  uint8_t past_end = 0;
  DWORD got = 0;
  if (ReadFile(file, &past_end, 1, &got, nullptr) == 0) return last_error();
  return got == 0 ? std::string() : kChanged;
}

FileContents read_open_file(HANDLE file, bool (*size_ok)(uint64_t)) {
  switch (GetFileType(file)) {
    case FILE_TYPE_DISK:
      break;
    case FILE_TYPE_CHAR:
      // NUL, CON or a comm port: a device without a size, as /dev/null is
      // elsewhere; nothing of it is read.
      if (!size_ok(0)) return {FileRead::size_refused, {}, 0, {}};
      return {FileRead::ok, {}, 0, {}};
    default:
      // A pipe has no end until its writer says so.
      return {FileRead::cannot_read, {}, 0, kPipe};
  }
  LARGE_INTEGER end{};
  if (GetFileSizeEx(file, &end) == 0) return {FileRead::cannot_read, {}, 0, last_error()};
  const auto size = static_cast<uint64_t>(end.QuadPart);
  if (end.QuadPart < 0 || !size_ok(size)) return {FileRead::size_refused, {}, size, {}};
  FileContents contents{FileRead::ok, std::vector<uint8_t>(static_cast<size_t>(size)), size, {}};
  contents.reason = read_exactly(file, contents.data.data(), contents.data.size());
  if (!contents.reason.empty()) return {FileRead::cannot_read, {}, 0, std::move(contents.reason)};
  return contents;
}

// Writes all of `data`; GetLastError says why not.
bool write_all(HANDLE file, const uint8_t* data, size_t size) {
  while (size > 0) {
    DWORD written = 0;
    if (WriteFile(file, data, static_cast<DWORD>(size), &written, nullptr) == 0) return false;
    if (written == 0) {
      SetLastError(ERROR_DISK_FULL);
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
FileSaved write_in_place(const std::string& target, const uint8_t* data, size_t size) {
  const HANDLE file = CreateFileA(target.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return failed();
  FileSaved saved{true, {}};
  if (GetFileType(file) != FILE_TYPE_DISK) {
    saved = {false, "it is no plain file"};
  } else if (!write_all(file, data, size) || SetEndOfFile(file) == 0 ||
             FlushFileBuffers(file) == 0) {
    saved = failed();
  }
  if (CloseHandle(file) == 0 && saved.ok) saved = failed();
  return saved;
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

FileContents read_file(const char* name, bool (*size_ok)(uint64_t)) {
  // A folder does not open without FILE_FLAG_BACKUP_SEMANTICS.
  const HANDLE file = CreateFileA(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {FileRead::cannot_read, {}, 0, last_error()};
  FileContents contents = read_open_file(file, size_ok);
  CloseHandle(file);
  return contents;
}

FileSaved replace_file(const char* name, const uint8_t* data, size_t size) {
  if (name[0] == '\0') return {false, kEmptyName};
  std::string target = name;
  if (target.back() == '/' || target.back() == '\\') return {false, kFolder};
  DWORD attributes = GetFileAttributesA(name);
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    if (!follow_link(target)) return failed();
    attributes = GetFileAttributesA(target.c_str());
  }
  const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
  if (exists && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return {false, kFolder};
  if (exists && (attributes & FILE_ATTRIBUTE_READONLY) != 0) return {false, kReadOnly};

  char temporary[MAX_PATH];
  if (GetTempFileNameA(folder_of(target).c_str(), "cfy", 0, temporary) == 0) {
    // A folder that takes no new file: the file, if it may be written,
    // is written in place, as "wb" would.
    if (exists && GetLastError() == ERROR_ACCESS_DENIED) return write_in_place(target, data, size);
    return failed();
  }
  const HANDLE file = CreateFileA(temporary, GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  FileSaved saved{true, {}};
  if (file == INVALID_HANDLE_VALUE || !write_all(file, data, size) || FlushFileBuffers(file) == 0) {
    saved = failed();
  }
  if (file != INVALID_HANDLE_VALUE && CloseHandle(file) == 0 && saved.ok) saved = failed();
  if (saved.ok && !put_in_place(temporary, target, exists)) saved = failed();
  if (!saved.ok) DeleteFileA(temporary);
  return saved;
}

std::string_view text_line_end() { return "\r\n"; }

}  // namespace chipferry
