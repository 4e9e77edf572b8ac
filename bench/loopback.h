// Socket helpers that the load generator and the baseline server share: both only ever use the
// loopback address.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string_view>

// 127.0.0.1 at `port`.
sockaddr_in loopback_address(uint16_t port);

// Sends all of `bytes` on a blocking socket; false when the connection failed.
bool send_all(int fd, std::string_view bytes);
