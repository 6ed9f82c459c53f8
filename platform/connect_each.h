// Connecting to a host that has several addresses (IPv6 and IPv4, say), the
// same on every system: each address in turn, until one answers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/deadline.h"
#include "platform/socket.h"

namespace chipferry {

/// How one address answered.
enum class Attempt { connected, refused, timed_out, interrupted, failed };

/// Tries the addresses of the resolver's `list` (getaddrinfo's) in turn,
/// within `timeout_ms` in all. Each gets its share of the time left, so
/// that one that never answers leaves time for the next. `try_one(address,
/// deadline)` makes one attempt, keeps the socket it connected, and puts
/// the system's words for a failure in `error`, which says why the last
/// attempt failed.
template <typename AddressInfo, typename TryOne>
ConnectResult connect_each(const AddressInfo* list, uint32_t timeout_ms, std::string& error,
                           TryOne try_one) {
  uint32_t addresses = 0;
  for (const AddressInfo* a = list; a != nullptr; a = a->ai_next) ++addresses;
  const Deadline deadline(timeout_ms);
  bool all_refused = true;
  for (const AddressInfo* a = list; a != nullptr; a = a->ai_next, --addresses) {
    const Attempt attempt = try_one(*a, Deadline(deadline.left_ms() / addresses));
    if (attempt == Attempt::connected) return ConnectResult::ok;
    if (attempt == Attempt::interrupted) {
      error = "interrupted";
      return ConnectResult::interrupted;
    }
    if (attempt == Attempt::timed_out) {
      error = "no answer within " + std::to_string(timeout_ms / 1000) + " s";
    }
    all_refused = all_refused && attempt == Attempt::refused;
  }
  return all_refused ? ConnectResult::refused : ConnectResult::failed;
}

}  // namespace chipferry
