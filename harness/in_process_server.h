// A TokenServer run inside the test process on a port the kernel picks, so that in-process tests
// never contend for the real server's port.
#pragma once

#include <chrono>
#include <optional>
#include <thread>

#include "server/TokenServer.h"

namespace token_server {

class InProcessServer {
 public:
  // With `metrics_port` (0 for one the kernel picks), the metrics endpoint is served too.
  explicit InProcessServer(int worker_count = kWorkerCount,
                           std::optional<uint16_t> metrics_port = std::nullopt,
                           ServerTimings timings = {})
      : server_(0, worker_count, metrics_port, timings) {
    acceptor_ = std::thread([this] { server_.accept_connection(); });
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while ((server_.bound_port() == 0 || (metrics_port && server_.bound_metrics_port() == 0)) &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  ~InProcessServer() {
    server_.request_stop();
    acceptor_.join();
  }

  uint16_t port() const { return server_.bound_port(); }
  uint16_t metrics_port() const { return server_.bound_metrics_port(); }
  TokenServer& server() { return server_; }

 private:
  TokenServer server_;
  std::thread acceptor_;
};

}  // namespace token_server
