#include "transfer/file_options.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/input.h"
#include "app/output.h"
#include "catalogue/catalogue.h"
#include "link/port.h"
#include "link/replies.h"
#include "transfer/block.h"

namespace chipferry {
namespace {

bool is_capacity(long size) {
  for (uint8_t k = 0; k < kSizeClassCount; ++k) {
    if (size == capacity_of(k)) return true;
  }
  return false;
}

enum class Load { ok, cant_read, unsupported_size };

// Reads the whole image before anything else changes: the host buffer and
// the transfer length are only touched once every byte is in, so a file
// that fails or changes size half-way leaves both as they were.
Load load_image(Session& s, const char* name) {
  std::FILE* file = std::fopen(name, "rb");
  if (file == nullptr) return Load::cant_read;
  struct stat info {};
  long size = -1;
  if (fstat(fileno(file), &info) == 0 && !S_ISDIR(info.st_mode) &&
      std::fseek(file, 0, SEEK_END) == 0) {
    size = std::ftell(file);
  }
  if (size < 0) {
    std::fclose(file);
    return Load::cant_read;
  }
  std::rewind(file);
  if (!is_capacity(size)) {
    std::fclose(file);
    return Load::unsupported_size;
  }
  std::vector<uint8_t> image(static_cast<size_t>(size));
  const bool complete = std::fread(image.data(), 1, image.size(), file) == image.size() &&
                        std::fgetc(file) == EOF && !std::ferror(file);
  std::fclose(file);
  if (!complete) return Load::cant_read;
  std::memcpy(s.host_buffer.data(), image.data(), image.size());
  s.transfer_length = static_cast<int32_t>(size);
  return Load::ok;
}

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

// Writes the block so that the named file is either the old file, intact,
// or the complete new image: the image goes into a fresh file in the same
// folder, reaches the disk, and only then takes the name.
bool save_image(Session& s, const char* name, int32_t length) {
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
    // Only a plain file is replaced, and only one that could be written.
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
  const size_t size = static_cast<size_t>(length);
  bool written = std::fwrite(s.host_buffer.data(), 1, size, file) == size;
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

}  // namespace

FileName read_file_name(Session& s) {
  print(s, "Enter Filename\n");
  discard_pending_input(s);
  s.text[0] = '\0';
  NameLine line = NameLine::given;
  switch (read_line(s, s.text, kTextSize)) {
    case ReadResult::ok:
      if (s.text[0] == '\0') line = NameLine::empty;
      break;
    case ReadResult::too_long:
      line = NameLine::too_long;
      break;
    case ReadResult::ended:
      line = NameLine::ended;
      break;
  }
  // "path with blanks" loses its quotes and whatever follows the second.
  if (s.text[0] == '"') {
    if (char* closing = std::strchr(s.text + 1, '"')) *closing = '\0';
    std::memmove(s.text, s.text + 1, std::strlen(s.text + 1) + 1);
  }
  return {line, s.text};
}

Next file_to_buffer(Session& s) {
  for (;;) {
    const FileName file = read_file_name(s);
    if (file.line == NameLine::empty || file.line == NameLine::ended) {
      discard_pending_input(s);
      return Next::menu();
    }
    // A cut-down name could open some other file.
    const Load load = file.line == NameLine::too_long ? Load::cant_read : load_image(s, file.name);
    if (load == Load::ok) break;
    if (load == Load::cant_read) {
      print(s, "Can't read file %s\n", file.name);
    } else {
      print(s, "Unsupported file size\n");
    }
  }

  const int32_t length = s.transfer_length;
  const BlockResult sent = send_block(s, length);
  if (sent.end != BlockEnd::completed) return next_after(sent);
  return next_after(check_block(s, length, sent.sum));
}

Next buffer_to_file(Session& s) {
  if (!query_rom_type(s) || !wait_command_prompt(s)) {
    print(s, "No Response\n");
    return Next::end(kExitNoResponse);
  }
  const int32_t length = s.transfer_length;
  const BlockResult received = receive_block(s, length);
  if (received.end != BlockEnd::completed) return next_after(received);
  const BlockResult checked = check_block(s, length, sum_block(s, length));
  if (checked.end != BlockEnd::completed) return next_after(checked);

  // The image exists only in memory until it is saved: keep asking.
  for (;;) {
    const FileName file = read_file_name(s);
    if (file.line == NameLine::ended) {
      print(s, "Buffer not saved\n");
      return Next::end(kExitNotSaved);
    }
    if (file.line != NameLine::too_long && save_image(s, file.name, length)) break;
    print(s, "Can't write file %s\n", file.name);
  }
  discard_pending_input(s);
  return Next::menu();
}

}  // namespace chipferry
