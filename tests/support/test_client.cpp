#include "tests/support/test_client.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "harness/loopback.h"

namespace token_server {

TestClient::TestClient(uint16_t port) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = loopback_address(port);
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) close();
}

TestClient::~TestClient() { close(); }

uint16_t TestClient::local_port() const {
  sockaddr_in address = {};
  socklen_t length = sizeof address;
  ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin_port);
}

void TestClient::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void TestClient::reset() {
  linger hard = {1, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  close();
}

bool TestClient::send(const std::string& bytes) { return send_all(fd_, bytes); }

bool TestClient::has_data_within(std::chrono::milliseconds limit) {
  if (!pending_.empty()) return true;
  pollfd wait = {fd_, POLLIN, 0};
  return ::poll(&wait, 1, static_cast<int>(limit.count())) > 0;
}

std::optional<std::string> TestClient::read_line(std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    size_t end = pending_.find("\r\n");
    if (end != std::string::npos) {
      std::string line = pending_.substr(0, end + 2);
      pending_.erase(0, end + 2);
      return line;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    pollfd wait = {fd_, POLLIN, 0};
    if (::poll(&wait, 1, static_cast<int>(left.count())) <= 0) continue;
    char chunk[65536];
    ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n <= 0) return std::nullopt;
    pending_.append(chunk, static_cast<size_t>(n));
  }
}

bool TestClient::closed_within(std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd wait = {fd_, POLLIN, 0};
    if (::poll(&wait, 1, static_cast<int>(left.count())) <= 0) continue;
    char chunk[65536];
    ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n == 0 || (n < 0 && errno == ECONNRESET)) return true;
    if (n < 0) return false;
  }
}

std::optional<std::string> TestClient::exchange(const std::string& request) {
  if (!send(request)) return std::nullopt;
  return read_line();
}

Clients served_clients(int count, uint16_t port) {
  Clients clients;
  for (int i = 0; i < count; ++i) {
    clients.push_back(std::make_unique<TestClient>(port));
    EXPECT_EQ(clients.back()->exchange("SHAKE\r\n"), "OK\r\n");
  }
  return clients;
}

}  // namespace token_server
