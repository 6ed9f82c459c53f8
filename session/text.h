// The one text comparison of the program: typed words and the
// programmer's replies are compared with expected texts whole, folding
// only the letters A to Z to one case.
#pragma once

#include <string_view>

namespace chipferry {

/// Whole-text comparison that ignores the case of A-Z and nothing else.
/// Every character takes part: a NUL inside a typed word is no end of it.
bool equal_ignoring_case(std::string_view a, std::string_view b);

}  // namespace chipferry
