// Saving an image file without ever losing the one it replaces.
//
// The standard library can write a file, but not promise that a failure
// half-way leaves the old contents intact: that takes a temporary file in
// the same folder, a flush to the disk and a rename, which each operating
// system spells differently.
#pragma once

#include <cstddef>
#include <cstdint>

namespace chipferry {

/// Makes `name` a file holding exactly `size` bytes of `data`. On success
/// the complete new contents are on the disk under that name; on failure
/// the file that had the name (if any) is untouched and nothing is left
/// behind. Only a plain file the user may write is replaced; a link is
/// written through.
bool replace_file(const char* name, const uint8_t* data, size_t size);

}  // namespace chipferry
