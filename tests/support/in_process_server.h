// A TokenServer run inside the test process on a port the kernel picks, so that in-process tests
// never contend for the real server's port.
#pragma once

#include <chrono>
#include <thread>

#include "server/TokenServer.h"

class InProcessServer {
 public:
  explicit InProcessServer(int worker_count = kWorkerCount) : server_(0, worker_count) {
    acceptor_ = std::thread([this] { server_.accept_connection(); });
    while (server_.bound_port() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~InProcessServer() {
    server_.request_stop();
    acceptor_.join();
  }

  uint16_t port() const { return server_.bound_port(); }
  TokenServer& server() { return server_; }

 private:
  TokenServer server_;
  std::thread acceptor_;
};
