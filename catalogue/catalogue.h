// The fixed table of the 38 ROM types the program knows, and the name
// lookup that both the selection and the type query use.
//
// Rows are grouped by size class in ascending order; full names and short
// names are distinct (also ignoring case), no short name equals a full name,
// and no short name begins with '0'. The ROM list and the type query rely
// on all of this; tests/catalogue_test.cc checks it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace chipferry {

struct RomType {
  char full_name[11];
  char short_name[5];
  uint8_t size_class;     ///< 0 to 5; capacity is 2048 << size_class
  uint8_t voltage_index;  ///< 0 to 5, see voltage_of; 0: no programming voltage
};

constexpr size_t kRomTypeCount = 38;
constexpr size_t kSizeClassCount = 6;

extern const RomType kRomTypes[kRomTypeCount];

/// Capacity in bytes of a size class.
constexpr int32_t capacity_of(uint8_t size_class) { return int32_t{2048} << size_class; }

/// Whether `size` is some size class's capacity: a raw image's size.
constexpr bool is_capacity(uint64_t size) {
  for (uint8_t k = 0; k < kSizeClassCount; ++k) {
    if (size == static_cast<uint64_t>(capacity_of(k))) return true;
  }
  return false;
}

/// The programming voltage of a type as the ROM list shows it: " ", "12.5V",
/// "12.75V", "13.0V", "21.0V" or "25.0V".
const char* voltage_of(const RomType& type);

enum class NameColumn { full, short_name };

/// The first row whose name in `column` equals `text`, comparing whole
/// texts and folding only the letters A-Z; nullptr when none does.
const RomType* find_rom_type(std::string_view text, NameColumn column);

/// The type a person names by its full name or by its short name, full
/// names first; nullptr when `text` is neither.
const RomType* rom_type_named(std::string_view text);

}  // namespace chipferry
