// Where a run keeps the mark of an upload under way on a port, so that it
// outlives the process: a file per port in the user's cache folder
// ($XDG_CACHE_HOME/chipferry, else ~/.cache/chipferry; on Windows
// %LOCALAPPDATA%\chipferry). A cache survives a reboot of the PC, as the
// programmer's upload survives one as long as the programmer has power.
// The serial backends key it by the device they opened.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace chipferry {

/// Makes (`on`) or removes the mark for the port `key`. Empty when done,
/// a missing mark removed included; else "cannot make FILE: REASON" or
/// "cannot remove FILE: REASON".
std::string keep_upload_mark(const std::string& key, bool on);

/// The mark for the port `key` is there.
bool upload_mark_found(const std::string& key);

/// The mark's file name for `key`: a hash of it, so that any device name
/// or URL makes a short name that is no device's (a file called COM1 is
/// the port on Windows). The file holds the key, for a person.
inline std::string upload_mark_name(const std::string& key) {
  // FNV-1a, 64 bits: no two ports of one machine come near to sharing one.
  uint64_t hash = 14695981039346656037ull;
  for (const char c : key) {
    hash = (hash ^ static_cast<uint8_t>(c)) * 1099511628211ull;
  }
  char name[32];
  std::snprintf(name, sizeof name, "upload-%016llx", static_cast<unsigned long long>(hash));
  return name;
}

}  // namespace chipferry
