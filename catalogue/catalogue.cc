#include "catalogue/catalogue.h"

#include "session/text.h"

namespace chipferry {

const RomType kRomTypes[kRomTypeCount] = {
    {"2716", "16", 0, 5},       {"X2816A", "216A", 0, 0},  {"DQ52B13", "5213", 0, 0},
    {"2816A", "816A", 0, 0},    {"2817A", "817A", 0, 0},   {"2732", "32", 1, 5},
    {"2732A", "32A", 1, 4},     {"TMS2532", "532", 1, 5},  {"MCM2532", "632", 1, 5},
    {"DQ52B23", "5223", 1, 0},  {"MCM2833", "2833", 1, 0}, {"2764", "64", 2, 4},
    {"MBM2764", "F64", 2, 4},   {"2764A", "64A", 2, 1},    {"AM2764A", "A64A", 2, 3},
    {"P2764A", "B64A", 2, 2},   {"TMS2564", "564", 2, 5},  {"MCM68764", "664", 2, 5},
    {"RD687C64", "D64", 2, 5},  {"LH5764", "5764", 2, 1},  {"X2864A", "264A", 2, 0},
    {"DQ52B33", "5233", 2, 0},  {"HN58064", "8064", 2, 0}, {"27128", "128", 3, 5},
    {"MBM27128", "F28", 3, 5},  {"27128A", "28A", 3, 1},   {"AM27128A", "A28A", 3, 3},
    {"P27128", "B28A", 3, 2},   {"27916", "916", 3, 4},    {"LH57128", "5728", 3, 1},
    {"27256", "256", 4, 1},     {"AM27256", "A56", 4, 4},  {"P27256", "B56", 4, 2},
    {"MBM27C256", "F56", 4, 4}, {"LH57256", "5756", 4, 1}, {"27512", "512", 5, 1},
    {"AM27512", "A512", 5, 3},  {"27513", "513", 5, 1},
};

namespace {

// Index 0 is a chip that needs no programming voltage of its own.
constexpr char kVoltageStrings[6][7] = {" ", "12.5V", "12.75V", "13.0V", "21.0V", "25.0V"};

}  // namespace

const char* voltage_of(const RomType& type) { return kVoltageStrings[type.voltage_index]; }

const RomType* find_rom_type(std::string_view text, NameColumn column) {
  for (const RomType& type : kRomTypes) {
    const char* name = column == NameColumn::full ? type.full_name : type.short_name;
    if (equal_ignoring_case(text, name)) return &type;
  }
  return nullptr;
}

const RomType* rom_type_named(std::string_view text) {
  const RomType* type = find_rom_type(text, NameColumn::full);
  return type != nullptr ? type : find_rom_type(text, NameColumn::short_name);
}

}  // namespace chipferry
