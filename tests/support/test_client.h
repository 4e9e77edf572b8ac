// A blocking loopback client for tests, with a time limit on every wait so that a fault in the
// server fails a test instead of hanging it.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace token_server {

class TestClient {
 public:
  // Connects to 127.0.0.1:port; check connected() before use.
  explicit TestClient(uint16_t port);
  ~TestClient();
  TestClient(const TestClient&) = delete;
  TestClient& operator=(const TestClient&) = delete;

  bool connected() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  // The port of this end of the connection.
  uint16_t local_port() const;

  // Sends all of `bytes`; false on failure.
  bool send(const std::string& bytes);
  // Reads one CR LF-ended line (CR LF included); nullopt on time-out or close.
  std::optional<std::string> read_line(std::chrono::milliseconds limit = std::chrono::seconds(5));
  // Whether anything arrives within `limit` (consumes nothing).
  bool has_data_within(std::chrono::milliseconds limit);
  // Whether the server closes the connection within `limit`; bytes before the close are dropped.
  bool closed_within(std::chrono::milliseconds limit = std::chrono::seconds(5));
  // Sends `request` and reads the one-line reply.
  std::optional<std::string> exchange(const std::string& request);
  // Closes with a reset (SO_LINGER 0) instead of an orderly close.
  void reset();
  void close();

 private:
  int fd_ = -1;
  std::string pending_;  // bytes received beyond the last line read
};

using Clients = std::vector<std::unique_ptr<TestClient>>;

// Opens `count` connections to 127.0.0.1:port, each answered one handshake, so that each holds a
// worker.
Clients served_clients(int count, uint16_t port);

}  // namespace token_server
