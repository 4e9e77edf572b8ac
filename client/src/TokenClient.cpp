#include "token_client/TokenClient.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "token_client/version.h"
#include "wire.h"

namespace token_client {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kLineEndLength = sizeof kLineEnd - 1;

// Milliseconds left until `deadline`, rounded up so that a wait never ends early; 0 once past.
int millis_until(Clock::time_point deadline) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Waits until `fd` has `events` or the deadline passes: > 0 ready, 0 timed out, < 0 failed.
int wait_for(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    pollfd watch = {fd, events, 0};
    int ready = ::poll(&watch, 1, millis_until(deadline));
    if (ready < 0 && errno == EINTR) continue;
    return ready;
  }
}

std::string millis_text(std::chrono::milliseconds limit) {
  return std::to_string(limit.count()) + " ms";
}

// Connects a non-blocking socket to `address` before `deadline`. Returns the socket, or -1 with
// the reason in *error.
int connect_address(const addrinfo& address, Clock::time_point deadline, int* error) {
  int fd =
      ::socket(address.ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, address.ai_protocol);
  if (fd < 0) {
    *error = errno;
    return -1;
  }
  int connected = ::connect(fd, address.ai_addr, address.ai_addrlen);
  if (connected != 0 && errno != EINPROGRESS && errno != EINTR) {
    *error = errno;
    ::close(fd);
    return -1;
  }
  if (connected != 0) {
    int ready = wait_for(fd, POLLOUT, deadline);
    socklen_t length = sizeof *error;
    *error = ready == 0 ? ETIMEDOUT : ready < 0 ? errno : 0;
    if (ready > 0) ::getsockopt(fd, SOL_SOCKET, SO_ERROR, error, &length);
    if (*error != 0) {
      ::close(fd);
      return -1;
    }
  }
  // Requests and replies are single small writes; waiting to merge them only adds latency.
  int no_delay = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &no_delay, sizeof no_delay);
  return fd;
}

bool is_port_text(const std::string& text) {
  return !text.empty() && text.size() <= 5 &&
         text.find_first_not_of("0123456789") == std::string::npos && std::stoi(text) >= 1 &&
         std::stoi(text) <= 65535;
}

}  // namespace

const char* version() { return kVersion; }

std::string Endpoint::to_string() const {
  bool ipv6 = host.find(':') != std::string::npos;
  return (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

Status parse_endpoint(const std::string& text, Endpoint* endpoint) {
  Status invalid(StatusCode::kInvalidArgument, "bad server address \"" + text + "\"");
  size_t colon = text.rfind(':');
  bool bracketed = !text.empty() && text[0] == '[';
  size_t host_end = bracketed ? text.find(']') : colon;
  if (bracketed && (host_end == std::string::npos || host_end + 1 < colon)) return invalid;
  bool has_port = colon != std::string::npos && (!bracketed || colon == host_end + 1);
  if (!bracketed && has_port && text.find(':') != colon) return invalid;  // unbracketed IPv6
  std::string host = bracketed ? text.substr(1, host_end - 1) : text.substr(0, host_end);
  std::string port = has_port ? text.substr(colon + 1) : std::to_string(kDefaultPort);
  if (host.empty() || !is_port_text(port)) return invalid;
  endpoint->host = host;
  endpoint->port = static_cast<uint16_t>(std::stoi(port));
  return Status();
}

TokenClient::TokenClient(Endpoint server, ClientOptions options)
    : server_(std::move(server)), options_(options) {}

TokenClient::~TokenClient() { close(); }

void TokenClient::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

Status TokenClient::fail(Status status) {
  close();
  return status;
}

Status TokenClient::connect() {
  if (fd_ >= 0) return Status();
  auto deadline = Clock::now() + options_.connect_timeout;
  addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* addresses = nullptr;
  std::string what = "connect " + server_.to_string() + ": ";
  int resolved =
      ::getaddrinfo(server_.host.c_str(), std::to_string(server_.port).c_str(), &hints, &addresses);
  if (resolved != 0) return Status(StatusCode::kConnectFailed, what + ::gai_strerror(resolved));
  int error = 0;
  for (addrinfo* address = addresses; address != nullptr && fd_ < 0; address = address->ai_next) {
    fd_ = connect_address(*address, deadline, &error);
  }
  ::freeaddrinfo(addresses);
  if (fd_ >= 0) return Status();
  if (error == ETIMEDOUT) {
    return Status(StatusCode::kConnectFailed,
                  what + "timed out after " + millis_text(options_.connect_timeout));
  }
  return Status(StatusCode::kConnectFailed, what + std::strerror(error));
}

Status TokenClient::send_all(const std::string& bytes, Clock::time_point deadline) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t written = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (written > 0) {
      sent += static_cast<size_t>(written);
      continue;
    }
    if (written < 0 && errno == EINTR) continue;
    if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (wait_for(fd_, POLLOUT, deadline) > 0) continue;
      return Status(StatusCode::kTimeout, "send to " + server_.to_string() + ": timed out after " +
                                              millis_text(options_.reply_timeout));
    }
    return Status(StatusCode::kConnectionLost,
                  "send to " + server_.to_string() + ": " + std::strerror(errno));
  }
  return Status();
}

Status TokenClient::receive_line(Clock::time_point deadline) {
  reply_.clear();
  char chunk[kMaxRequestBytes];
  for (;;) {
    size_t end = reply_.find(kLineEnd);
    if (end != std::string::npos) {
      if (end + kLineEndLength == reply_.size()) return Status();
      return Status(StatusCode::kBadReply, "bad reply: bytes after the reply line");
    }
    // A reply is never longer than its request, and no request is longer than this.
    if (reply_.size() >= static_cast<size_t>(kMaxRequestBytes)) {
      return Status(StatusCode::kBadReply, "bad reply: longer than the longest request");
    }
    int ready = wait_for(fd_, POLLIN, deadline);
    if (ready == 0) {
      return Status(StatusCode::kTimeout, "no reply from " + server_.to_string() + " within " +
                                              millis_text(options_.reply_timeout));
    }
    ssize_t received = ready > 0 ? ::recv(fd_, chunk, sizeof chunk, MSG_DONTWAIT) : -1;
    if (received > 0) {
      reply_.append(chunk, static_cast<size_t>(received));
      continue;
    }
    if (received < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    std::string reason = received == 0 ? "closed the connection" : std::strerror(errno);
    return Status(StatusCode::kConnectionLost,
                  "receive from " + server_.to_string() + ": " + reason);
  }
}

Status TokenClient::exchange_once(const std::string& request_line) {
  auto deadline = Clock::now() + options_.reply_timeout;
  Status sent = send_all(request_line, deadline);
  if (!sent.ok()) return sent;
  return receive_line(deadline);
}

Status TokenClient::exchange(const std::string& request_line) {
  for (bool retried = false;; retried = true) {
    Status connected = connect();
    if (!connected.ok()) return connected;
    Status answered = exchange_once(request_line);
    if (answered.ok()) return answered;
    close();
    if (answered.code() != StatusCode::kConnectionLost || retried) return answered;
  }
}

Status TokenClient::ping(std::chrono::microseconds* round_trip) {
  Status connected = connect();
  if (!connected.ok()) return connected;
  auto start = Clock::now();
  Status answered = exchange(kHandshakeLine);
  if (!answered.ok()) return answered;
  if (reply_ != kHandshakeAnswer) {
    return fail(Status(StatusCode::kBadReply, "bad reply: the handshake was not answered OK"));
  }
  if (round_trip != nullptr) {
    *round_trip = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
  }
  return Status();
}

Status TokenClient::acquire_entries(const TokenRequest* entries, size_t count, uint32_t* granted) {
  Status written = write_request_line(entries, count, &request_);
  if (!written.ok()) return written;
  Status answered = exchange(request_);
  if (!answered.ok()) return answered;
  Status parsed = parse_reply_line(reply_, entries, count, granted);
  return parsed.ok() ? parsed : fail(parsed);
}

Status TokenClient::acquire(const TokenRequest& request, uint32_t* granted) {
  return acquire_entries(&request, 1, granted);
}

Status TokenClient::acquire_batch(const std::vector<TokenRequest>& batch,
                                  std::vector<uint32_t>* granted) {
  granted->assign(batch.size(), 0);
  if (batch.empty()) return Status();
  return acquire_entries(batch.data(), batch.size(), granted->data());
}

}  // namespace token_client
