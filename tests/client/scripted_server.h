// Stand-ins on kernel-chosen loopback ports for the client tests: a server that answers each
// connection's first request as a script says, late, or never, or closes it unanswered, so that
// tests can make the failures a real server never shows on demand; and a relay in front of a
// real server that counts the connections a client opens. Also the tests' wait for what happens
// on another thread.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <rapidjson/document.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "harness/loopback.h"
#include "tests/support/test_client.h"

constexpr int kStandInBacklog = 8;      // connections a stand-in holds before it accepts them
constexpr int kStandInPollMillis = 20;  // how often a stand-in's threads look at their stop flag
constexpr auto kWaitLimit = std::chrono::seconds(10);  // for what happens on another thread

// Polls `done` until it holds or kWaitLimit passes; returns its last answer.
template <typename Done>
bool wait_until(Done done) {
  auto deadline = std::chrono::steady_clock::now() + kWaitLimit;
  while (!done() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return done();
}

// Waits until `fd` is readable (true) or `stop` is set (false).
inline bool wait_readable(int fd, const std::atomic<bool>& stop) {
  pollfd watch = {fd, POLLIN, 0};
  while (!stop) {
    if (::poll(&watch, 1, kStandInPollMillis) > 0) return true;
  }
  return false;
}

// Accepts connections on `listen_fd` and hands each to `take`, until `stop` is set.
template <typename Take>
void accept_each(int listen_fd, const std::atomic<bool>& stop, Take take) {
  while (wait_readable(listen_fd, stop)) {
    int fd = ::accept(listen_fd, nullptr, nullptr);
    if (fd >= 0) take(fd);
  }
}

// Holds the replies of the stand-ins that share it until each of them has received a request: a
// client that waited for one reply before it sent the next request would wait for ever.
struct ReplyGate {
  explicit ReplyGate(int stand_ins) : stand_ins(stand_ins) {}
  const int stand_ins;
  std::atomic<int> requests{0};
};

class ScriptedServer {
 public:
  // A reply that grants every entry of the request its need.
  static constexpr char kGrantEveryNeed[] = "grant every need";
  // Closes the connection at once, reading nothing: as the server closes an idle connection.
  static constexpr char kCloseAtOnce[] = "close at once";

  // The first request of connection i is answered with replies[i]; an empty reply closes the
  // connection without answering. Connections past the script are closed at once. With
  // `lines_before_reply` 2, a reply waits for a second line too: a server slow to answer a
  // request until the client checks on it with the handshake; with more, it never answers. With
  // a `gate`, a reply waits for the other stand-ins sharing it, too.
  explicit ScriptedServer(std::vector<std::string> replies, int lines_before_reply = 1,
                          ReplyGate* gate = nullptr)
      : replies_(std::move(replies)), lines_before_reply_(lines_before_reply), gate_(gate) {
    listen_fd_ = token_server::listen_on_loopback(&port_, kStandInBacklog);
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
  void serve() {
    accept_each(listen_fd_, stop_, [this](int fd) {
      size_t index = static_cast<size_t>(connections_++);
      if (index < replies_.size() && replies_[index] != kCloseAtOnce) {
        answer_first_request(fd, replies_[index]);
      }
      ::close(fd);
    });
  }

  void answer_first_request(int fd, const std::string& reply) {
    std::string received;
    char chunk[4096];
    while (lines_in(received) < lines_before_reply_ && wait_readable(fd, stop_)) {
      ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
      if (n <= 0) return;
      received.append(chunk, static_cast<size_t>(n));
    }
    if (reply.empty()) return;
    if (gate_ != nullptr) {
      ++gate_->requests;
      while (gate_->requests < gate_->stand_ins && !stop_) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
    std::string sent = reply == kGrantEveryNeed ? grant_every_need(received) : reply;
    ::send(fd, sent.data(), sent.size(), MSG_NOSIGNAL);
    // Holds the connection until the client closes it or the test ends.
    while (wait_readable(fd, stop_) && ::recv(fd, chunk, sizeof chunk, 0) > 0) {
    }
  }

  static std::string grant_every_need(const std::string& request) {
    rapidjson::Document parsed;
    parsed.Parse(request.c_str(), request.find("\r\n"));
    std::string reply = "{\"array\":[";
    for (const rapidjson::Value& entry : parsed["array"].GetArray()) {
      if (reply.back() == '}') reply += ",";
      reply += std::string("{\"accesskey\":\"") + entry["accesskey"].GetString() +
               "\",\"tokens\":" + std::to_string(entry["need_tokens"].GetInt()) + "}";
    }
    return reply + "]}\r\n";
  }

  static int lines_in(const std::string& text) {
    int lines = 0;
    for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at + 2)) {
      ++lines;
    }
    return lines;
  }

  std::vector<std::string> replies_;
  const int lines_before_reply_;
  ReplyGate* const gate_;
  int listen_fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::thread serving_;
};

// Passes bytes both ways between each client and a server on 127.0.0.1, one connection to the
// server per client connection, and counts the client connections it holds.
class CountingRelay {
 public:
  explicit CountingRelay(uint16_t server_port) : server_port_(server_port) {
    listen_fd_ = token_server::listen_on_loopback(&port_, kStandInBacklog);
    accepting_ = std::thread([this] { accept_connections(); });
  }
  ~CountingRelay() {
    stop_ = true;
    accepting_.join();
    for (std::thread& relay : relays_) relay.join();
    ::close(listen_fd_);
  }

  uint16_t port() const { return port_; }
  // Client connections accepted and not yet seen closed; the most there were at once.
  int open_now() const { return open_.load(); }
  int most_open() const { return most_open_.load(); }

 private:
  void accept_connections() {
    accept_each(listen_fd_, stop_, [this](int client_fd) {
      most_open_ = std::max(most_open_.load(), ++open_);  // this thread alone raises it
      relays_.emplace_back([this, client_fd] { relay(client_fd); });
    });
  }

  // Runs until either side closes or the relay stops.
  void relay(int client_fd) {
    token_server::TestClient server(server_port_);
    pollfd ends[2] = {{client_fd, POLLIN, 0}, {server.fd(), POLLIN, 0}};
    char chunk[4096];
    bool open = server.connected();
    while (open && !stop_) {
      if (::poll(ends, 2, kStandInPollMillis) <= 0) continue;
      for (int from = 0; from < 2 && open; ++from) {
        if (ends[from].revents == 0) continue;
        ssize_t n = ::recv(ends[from].fd, chunk, sizeof chunk, 0);
        open = n > 0 && ::send(ends[1 - from].fd, chunk, static_cast<size_t>(n), MSG_NOSIGNAL) == n;
      }
    }
    ::close(client_fd);
    --open_;
  }

  const uint16_t server_port_;
  int listen_fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> open_{0};
  std::atomic<int> most_open_{0};
  std::thread accepting_;
  std::vector<std::thread> relays_;  // touched by accepting_ only, until it is joined
};
