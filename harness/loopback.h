// Sockets on the loopback address, which the tests, their stand-in servers and the load tools only
// ever use.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string_view>

namespace token_server {

// 127.0.0.1 at `port`.
sockaddr_in loopback_address(uint16_t port);

// A socket listening on 127.0.0.1 at *port, or at a port the kernel picks when *port is 0, which
// then goes to *port; `backlog` connections wait, completed, until they are accepted. -1, with
// errno set, when the port cannot be had.
int listen_on_loopback(uint16_t* port, int backlog);

// Sends all of `bytes` on a blocking socket; false when the connection failed.
bool send_all(int fd, std::string_view bytes);

}  // namespace token_server
