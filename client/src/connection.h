// Connection: what a TokenClient's exchanges work on: the server and options it was made with, its
// socket, and the buffers of the request being sent and the reply being read (exchange.h).
//
// A TokenClient owns one and carries its exchanges alone; a ShardedClient carries the exchanges of
// several leased clients' connections at once (TokenClient::connection()).
//
// Threads: a Connection belongs to the thread that holds its client.
#pragma once

#include <unistd.h>

#include <chrono>
#include <string>
#include <utility>

#include "token_client/TokenClient.h"

namespace token_client {

struct Connection {
  Connection(Endpoint server_endpoint, ClientOptions client_options)
      : server(std::move(server_endpoint)), options(std::move(client_options)) {}
  ~Connection() { close(); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  bool is_open() const { return fd >= 0; }
  void close() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }

  const Endpoint server;
  const ClientOptions options;
  int fd = -1;  // connected non-blocking socket, owned; -1 when closed
  std::chrono::steady_clock::time_point last_exchange_start;  // of the last exchange
  std::string request;  // the request line being sent, kept to reuse its capacity
  std::string reply;    // the last reply line, CR LF included
};

}  // namespace token_client
