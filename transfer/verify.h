// The host's half of --verify: the device buffer fetched as option 2
// fetches it, and compared byte for byte with an image file read as
// option 1 reads it. The programmer's own compare says only whether the
// two differ; this says where.
#pragma once

#include <string>

#include "session/session.h"

namespace chipferry {

/// The most differing bytes named one by one; the count says how many
/// there are in all.
constexpr int kDifferencesShown = 8;

/// Fetches the device buffer and compares it with the file `name`: "ROM
/// matches NAME", and the menu; or how many bytes differ and the first
/// kDifferencesShown of them, and the end of the run with kExitVerify. A
/// file option 1 would refuse ends it with kExitFile.
Next verify_device_buffer(Session& s, const std::string& name);

}  // namespace chipferry
