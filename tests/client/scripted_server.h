// A stand-in server on a kernel-chosen port that answers each connection's first request as a
// script says, or closes it unanswered, so that tests can make the failures a real server never
// shows on demand.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

class ScriptedServer {
 public:
  // The first request of connection i is answered with replies[i]; an empty reply closes the
  // connection without answering. Connections past the script are closed at once.
  explicit ScriptedServer(std::vector<std::string> replies) : replies_(std::move(replies)) {
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), length);
    ::listen(listen_fd_, 8);
    ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    serving_ = std::thread([this] { serve(); });
  }
  ~ScriptedServer() {
    stop_ = true;
    serving_.join();
    ::close(listen_fd_);
  }

  uint16_t port() const { return port_; }
  int connections() const { return connections_.load(); }

 private:
  static constexpr int kPollMillis = 20;

  bool wait_readable(int fd) {
    pollfd watch = {fd, POLLIN, 0};
    while (!stop_) {
      if (::poll(&watch, 1, kPollMillis) > 0) return true;
    }
    return false;
  }

  void serve() {
    while (wait_readable(listen_fd_)) {
      int fd = ::accept(listen_fd_, nullptr, nullptr);
      if (fd < 0) continue;
      size_t index = static_cast<size_t>(connections_++);
      if (index < replies_.size()) answer_first_request(fd, replies_[index]);
      ::close(fd);
    }
  }

  void answer_first_request(int fd, const std::string& reply) {
    std::string received;
    char chunk[4096];
    while (received.find("\r\n") == std::string::npos && wait_readable(fd)) {
      ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
      if (n <= 0) return;
      received.append(chunk, static_cast<size_t>(n));
    }
    if (reply.empty()) return;
    ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
    // Holds the connection until the client closes it or the test ends.
    while (wait_readable(fd) && ::recv(fd, chunk, sizeof chunk, 0) > 0) {
    }
  }

  std::vector<std::string> replies_;
  int listen_fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::thread serving_;
};
