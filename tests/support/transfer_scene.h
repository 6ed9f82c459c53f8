// What the buffer transfers look like on the wire, and the images they
// carry, for the tests.
#pragma once

#include <cstdio>
#include <string>

#include "catalogue/catalogue.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wire.h"

namespace chipferry::test {

inline std::string text_of(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

/// The first catalogue row of a size class.
inline const RomType* type_of_class(uint8_t size_class) {
  for (const RomType& type : kRomTypes) {
    if (type.size_class == size_class) return &type;
  }
  return nullptr;
}

inline std::string upload_bytes(const Bytes& data) { return kUploadStart + text_of(data); }

inline std::string checksum_query(int32_t length) {
  char line[32];
  std::snprintf(line, sizeof line, "S1K 0000-%02XFF\r", static_cast<unsigned>((length - 1) >> 8));
  return line;
}

/// Bytes that differ from position to position and from seed to seed.
inline Bytes pattern(size_t size, unsigned seed) {
  Bytes bytes(size);
  uint32_t x = 2463534242u + seed;
  for (auto& b : bytes) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<uint8_t>(x);
  }
  return bytes;
}

}  // namespace chipferry::test
