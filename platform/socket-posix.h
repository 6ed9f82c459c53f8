// The POSIX connection below its name lookup: the addresses the resolver
// gave, tried in turn. TcpConnection::connect is the way in; the tests
// come here to hand it addresses of their own.
#pragma once

#include <netdb.h>

#include <cstdint>
#include <string>

#include "platform/socket.h"

namespace chipferry {

/// Connects to the addresses of `list` in turn, within `timeout_ms` in
/// all, as platform/connect_each.h tries them. `fd` is the connection,
/// with Nagle's coalescing off and the keep-alive's probes on; -1 when
/// none was made, `error` then saying why. No other descriptor is left
/// open.
ConnectResult connect_addresses(const addrinfo* list, uint32_t timeout_ms, int& fd,
                                std::string& error);

}  // namespace chipferry
