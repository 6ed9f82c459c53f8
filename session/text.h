// The one text comparison of the program: typed words and the
// programmer's replies are compared with expected texts whole, folding
// only the letters A to Z to one case.
#pragma once

namespace chipferry {

/// Whole-text comparison that ignores the case of A-Z and nothing else.
bool equal_ignoring_case(const char* a, const char* b);

}  // namespace chipferry
