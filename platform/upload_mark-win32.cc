#include <windows.h>

#include <cstdlib>
#include <string>

#include "platform/error-win32.h"
#include "platform/upload_mark.h"

namespace chipferry {
namespace {

// Our folder under the user's local application data; empty when the
// environment names none.
std::string mark_folder() {
  const char* local = std::getenv("LOCALAPPDATA");
  if (local == nullptr || *local == '\0') return {};
  return std::string(local) + "\\chipferry";
}

std::string failed(const char* what, const std::string& path) {
  return std::string("cannot ") + what + " " + path + ": " + system_message(GetLastError());
}

}  // namespace

std::string keep_upload_mark(const std::string& key, bool on) {
  const std::string folder = mark_folder();
  if (folder.empty()) return "no folder for it: LOCALAPPDATA is not set";
  const std::string path = folder + "\\" + upload_mark_name(key);
  if (!on) {
    if (!DeleteFileA(path.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND) {
      return failed("remove", path);
    }
    return {};
  }
  if (!CreateDirectoryA(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
    return failed("make", folder);
  }
  const HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return failed("make", path);
  // The file is the mark; the key in it is for a person who looks.
  const std::string text = key + "\r\n";
  DWORD written = 0;
  WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(file);
  return {};
}

bool upload_mark_found(const std::string& key) {
  const std::string folder = mark_folder();
  if (folder.empty()) return false;
  return GetFileAttributesA((folder + "\\" + upload_mark_name(key)).c_str()) !=
         INVALID_FILE_ATTRIBUTES;
}

}  // namespace chipferry
