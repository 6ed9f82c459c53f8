#include "session/text.h"

namespace chipferry {
namespace {

char fold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

bool equal_ignoring_case(const char* a, const char* b) {
  for (; *a != '\0' && *b != '\0'; ++a, ++b) {
    if (fold(*a) != fold(*b)) return false;
  }
  return *a == *b;
}

std::string caret_notation(std::string_view text) {
  std::string shown;
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) {
      shown += '^';
      shown += static_cast<char>(u ^ 0x40);
    } else {
      shown += c;
    }
  }
  return shown;
}

}  // namespace chipferry
