#include "transfer/verify.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/printable.h"
#include "session/console_io.h"
#include "transfer/file_options.h"

namespace chipferry {
namespace {

// Only the bytes both have are compared. The rest, on whichever side,
// is named, so that a match is never claimed for bytes nobody looked at;
// a file longer than the chip never matches it.
void name_uncompared(Session& s, const std::string& name, size_t file_bytes, size_t chip_bytes) {
  if (file_bytes == chip_bytes) return;
  const size_t from = std::min(file_bytes, chip_bytes);
  const size_t to = std::max(file_bytes, chip_bytes) - 1;
  diagnose(s, name + " holds " + std::to_string(file_bytes) + " bytes and the chip " +
                  std::to_string(chip_bytes) + ": " +
                  (file_bytes > chip_bytes ? "the file's " : "") + hex(from, 4) + "-" + hex(to, 4) +
                  " were not compared");
}

}  // namespace

Next verify_device_buffer(Session& s, const std::string& name) {
  const Fetched fetched = fetch_device_buffer(s);
  if (!fetched.next.carries_on()) return fetched.next;
  const std::optional<std::vector<uint8_t>> file = image_for_chip(s, name, fetched.type);
  if (!file) return Next::end(kExitFile);

  const auto chip_bytes = static_cast<size_t>(fetched.length);
  name_uncompared(s, name, file->size(), chip_bytes);
  const size_t compared = std::min(file->size(), chip_bytes);
  int differing = 0;
  std::string shown;
  for (size_t at = 0; at < compared; ++at) {
    const uint8_t chip = s.host_buffer[at];
    const uint8_t want = (*file)[at];
    if (chip == want) continue;
    if (++differing > kDifferencesShown) continue;
    shown += hex(at, 4) + ": chip " + hex(chip) + ", file " + hex(want) + "\n";
  }
  if (differing == 0 && file->size() <= chip_bytes) {
    print(s, "ROM matches %s\n", name.c_str());
    return Next::menu();
  }
  if (differing == 0) {
    // A raw image longer than the chip is uploaded whole and burned in
    // part: what the chip cannot hold is not on it, however the rest compares.
    print(s, "ROM doesn't match %s: the chip holds %s of its %s bytes\n", name.c_str(),
          std::to_string(chip_bytes).c_str(), std::to_string(file->size()).c_str());
    return Next::end(kExitVerify);
  }
  print(s, "ROM doesn't match %s: %d %s\n%s", name.c_str(), differing,
        differing == 1 ? "byte differs" : "bytes differ", shown.c_str());
  return Next::end(kExitVerify);
}

}  // namespace chipferry
