// Windows' own words for its error codes, for the serial port's and the
// network connection's messages alike.
#pragma once

#include <windows.h>

#include <string>

namespace chipferry {

/// The system's words for the error `code` (GetLastError, WSAGetLastError),
/// without the full stop and line end they come with.
std::string system_message(DWORD code);

}  // namespace chipferry
