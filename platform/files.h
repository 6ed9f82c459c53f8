// Image files: reading one whole without ever waiting on it, and saving
// one without ever losing the file it replaces.
//
// The standard library can read and write a file, but not refuse a FIFO
// before it blocks, nor promise that a failure half-way leaves the old
// contents intact: that takes a temporary file in the same folder, a flush
// to the disk and a rename, which each operating system spells
// differently.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace chipferry {

/// How reading a whole file went.
enum class FileRead {
  ok,            ///< `data` holds the whole file
  cannot_read,   ///< missing, no access, a folder, or a thing with no end
                 ///< that reading would wait on (a FIFO, a terminal)
  size_refused,  ///< `size_ok` refused its size; nothing was read
};

/// A whole file as read_file() found it.
struct FileContents {
  FileRead result = FileRead::cannot_read;
  std::vector<uint8_t> data;  ///< ok: every byte of the file
  uint64_t size = 0;          ///< ok, size_refused: the file's size
  std::string reason;         ///< cannot_read: the system's words ("Permission denied")
};

/// Reads the whole file `name`. The file is opened and read without
/// waiting: a FIFO with no writer, a terminal or a socket is refused at
/// once. Its size is judged by `size_ok` before a byte is read, so a device
/// without one (/dev/null, /dev/zero, NUL) is refused by size and never
/// read. A file whose size changes while it is read is refused.
FileContents read_file(const char* name, bool (*size_ok)(uint64_t size));

/// How a save went: `reason` holds the system's words for a failure ("No
/// space left on device", "Too many levels of symbolic links").
struct FileSaved {
  bool ok = false;
  std::string reason;
};

/// Makes `name` a file holding exactly `size` bytes of `data`, as opening
/// it "wb" would, but without ever losing what was there:
///  - the new contents go to a temporary file beside the file, which
///    replaces it only once complete on the disk; on failure the old file
///    is untouched and nothing is left behind;
///  - the new file takes the owner, group and mode of the one it replaces;
///  - a symbolic link is written through, a dangling one too: the link
///    stays, and the file it names is replaced or made;
///  - where that cannot be done (a folder that takes no new file, an owner
///    the user may not give a file) but the file itself may be written, it
///    is written in place, which keeps all it was as "wb" would.
/// Only a plain file the user may write is ever replaced.
FileSaved replace_file(const char* name, const uint8_t* data, size_t size);

/// How a text file written here ends its lines: LF, and CR LF on Windows,
/// as the system's own editors and tools expect.
std::string_view text_line_end();

}  // namespace chipferry
