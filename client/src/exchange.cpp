#include "exchange.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace token_client {

namespace {

using Clock = Exchange::Clock;

constexpr size_t kLineEndLength = sizeof kLineEnd - 1;
// A connection used this recently is sent on without the check for a close by the server: the
// server closes only connections idle far longer, and a close that races the send can happen
// right after the check as well. Calls in a row thus cost no extra system call.
constexpr auto kStaleCheckAfter = std::chrono::milliseconds(1);

std::string millis_text(std::chrono::milliseconds limit) {
  return std::to_string(limit.count()) + " ms";
}

// Milliseconds from `now` until `deadline`, rounded up so that a wait never ends early.
int millis_until(Clock::time_point deadline, Clock::time_point now) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
  return static_cast<int>(std::clamp<decltype(left)>(left, 0, INT32_MAX));
}

// Whether a kept connection can carry a request: the server has not closed it (as it closes an
// idle one when others wait) and it holds no bytes nobody asked for. One system call that does
// not block.
bool is_reusable(int fd) {
  char byte;
  ssize_t peeked = ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  return peeked < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
}

// Whether a send or receive error shows the server's end reset the connection: it was closed
// with our bytes unread, so the request was never read.
bool is_reset(int error) { return error == ECONNRESET || error == EPIPE; }

}  // namespace

Exchange::~Exchange() {
  // Cut short (only a caller's own early exit can do that): the reply is never read, so the
  // connection must not carry a later request.
  if (step_ != Step::kDone && connection_ != nullptr) connection_->close();
  free_addresses();
}

void Exchange::free_addresses() {
  lookup_.abandon();
  if (addresses_ != nullptr) ::freeaddrinfo(addresses_);
  addresses_ = next_address_ = nullptr;
  if (connecting_fd_ >= 0) ::close(connecting_fd_);
  connecting_fd_ = -1;
}

std::string Exchange::server_name() const { return connection_->server.to_string(); }

void Exchange::start(Connection* connection, const std::string* line, bool check_silence,
                     Clock::time_point now) {
  connection_ = connection;
  line_ = line;
  status_ = Status();
  reconnected_ = false;
  check_silence_ = check_silence;
  const ClientOptions& options = connection_->options;
  // One reply timeout for the whole way to the reply, name lookup included, and one more for
  // the handshake that tells a refusal from a failed server.
  reply_deadline_ = now + options.reply_timeout;
  call_deadline_ = reply_deadline_ + options.reply_timeout;
  bool idle_a_while = now - connection_->last_exchange_start >= kStaleCheckAfter;
  connection_->last_exchange_start = now;
  if (connection_->fd >= 0 && idle_a_while && !is_reusable(connection_->fd)) connection_->close();
  if (connection_->fd >= 0) {
    begin_sending(now);
  } else {
    connect(now);
  }
}

void Exchange::start_connect(Connection* connection, Clock::time_point now) {
  static const std::string kNothing;
  start(connection, &kNothing, false, now);
}

void Exchange::start_handshake(Connection* connection, Clock::time_point now) {
  static const std::string kHandshake = kHandshakeLine;
  start(connection, &kHandshake, false, now);
}

void Exchange::start_token_request(Connection* connection, EntryList entries, Clock::time_point now,
                                   bool fallback) {
  connection_ = connection;
  entries_ = entries;
  Status written =
      write_request_line(entries, connection->options.detail, &connection->request, fallback);
  if (!written.ok()) return finish(written);
  start(connection, &connection->request, true, now);
}

std::chrono::milliseconds Exchange::connect_limit() const {
  return std::min(connection_->options.connect_timeout, connection_->options.reply_timeout);
}

void Exchange::connect(Clock::time_point now) {
  step_ = Step::kResolving;
  deadline_ = std::min(now + connection_->options.connect_timeout, reply_deadline_);
  connect_error_ = 0;
  const Endpoint& server = connection_->server;
  int started = lookup_.start(server.host, server.port);
  if (started != 0) {
    return finish(Status(StatusCode::kConnectFailed,
                         "connect " + server_name() + ": " + ::gai_strerror(started)));
  }
  if (lookup_.answered()) take_addresses(now);  // a numeric address, at once
}

void Exchange::take_addresses(Clock::time_point now) {
  int resolved = lookup_.take(&addresses_);
  if (resolved != 0) {
    return finish(Status(StatusCode::kConnectFailed,
                         "connect " + server_name() + ": " + ::gai_strerror(resolved)));
  }
  step_ = Step::kConnecting;
  next_address_ = addresses_;
  connect_next_address(now);
}

void Exchange::connect_next_address(Clock::time_point now) {
  while (next_address_ != nullptr) {
    const addrinfo& address = *next_address_;
    next_address_ = address.ai_next;
    int fd = ::socket(address.ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC,
                      address.ai_protocol);
    if (fd < 0) {
      connect_error_ = errno;
      continue;
    }
    connecting_fd_ = fd;
    if (::connect(fd, address.ai_addr, address.ai_addrlen) == 0) return connected(now);
    if (errno == EINPROGRESS || errno == EINTR) return;  // poll tells when it is done
    connect_error_ = errno;
    ::close(fd);
    connecting_fd_ = -1;
  }
  finish(Status(StatusCode::kConnectFailed,
                "connect " + server_name() + ": " + std::strerror(connect_error_)));
}

void Exchange::finish_connecting(Clock::time_point now) {
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(connecting_fd_, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
  if (error == 0) return connected(now);
  connect_error_ = error;
  ::close(connecting_fd_);
  connecting_fd_ = -1;
  connect_next_address(now);
}

void Exchange::connected(Clock::time_point now) {
  // Requests and replies are single small writes; waiting to merge them only adds latency.
  int no_delay = 1;
  ::setsockopt(connecting_fd_, IPPROTO_TCP, TCP_NODELAY, &no_delay, sizeof no_delay);
  connection_->fd = connecting_fd_;
  connecting_fd_ = -1;
  free_addresses();
  begin_sending(now);
}

void Exchange::begin_sending(Clock::time_point now) {
  if (line_->empty()) return finish(Status());
  step_ = Step::kSending;
  sending_since_ = now;
  deadline_ = reply_deadline_;
  sent_ = 0;
  connection_->reply.clear();
  send_some(now);
}

void Exchange::send_some(Clock::time_point now) {
  while (sent_ < line_->size()) {
    ssize_t written =
        ::send(connection_->fd, line_->data() + sent_, line_->size() - sent_, MSG_NOSIGNAL);
    if (written > 0) {
      sent_ += static_cast<size_t>(written);
      continue;
    }
    if (written < 0 && errno == EINTR) continue;
    if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;  // poll for room
    int error = written < 0 ? errno : EPIPE;
    return reconnect_or_fail(Status(StatusCode::kConnectionLost,
                                    "send to " + server_name() + ": " + std::strerror(error)),
                             is_reset(error), now);
  }
  step_ = Step::kReceiving;
}

void Exchange::receive_some(Clock::time_point now) {
  char chunk[kMaxRequestBytes];
  ssize_t received = ::recv(connection_->fd, chunk, sizeof chunk, MSG_DONTWAIT);
  if (received < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) return;
  if (received <= 0) {
    int error = received == 0 ? 0 : errno;
    std::string reason = error == 0 ? "closed the connection" : std::strerror(error);
    bool unread = is_reset(error) && connection_->reply.empty() && step_ == Step::kReceiving;
    return reconnect_or_fail(
        Status(StatusCode::kConnectionLost, "receive from " + server_name() + ": " + reason),
        unread, now);
  }
  std::string& reply = connection_->reply;
  reply.append(chunk, static_cast<size_t>(received));
  size_t end = reply.find(kLineEnd);
  if (end != std::string::npos && step_ == Step::kChecking) return read_first_answer(end);
  if (end != std::string::npos) {
    if (end + kLineEndLength == reply.size()) return finish(Status());
    return finish(Status(StatusCode::kBadReply, "bad reply: bytes after the reply line"));
  }
  if (reply.size() >= kMaxReplyBytes) {
    finish(Status(StatusCode::kBadReply, "bad reply: longer than the longest reply"));
  }
}

void Exchange::send_handshake_after_silence(Clock::time_point now) {
  step_ = Step::kChecking;
  deadline_ = std::min(now + connection_->options.reply_timeout, call_deadline_);
  reconnected_ = true;  // the request may have been taken: it is never sent twice from here
  constexpr size_t kLength = sizeof kHandshakeLine - 1;
  ssize_t written = ::send(connection_->fd, kHandshakeLine, kLength, MSG_NOSIGNAL);
  // Seven bytes that do not fit at once mean that the server reads nothing: it has failed.
  if (written != static_cast<ssize_t>(kLength)) finish(silence_error());
}

void Exchange::read_first_answer(size_t line_end) {
  std::string& reply = connection_->reply;
  if (reply.compare(0, line_end + kLineEndLength, kHandshakeAnswer) == 0) {
    // The server took the request as breaking a rule: it answers such a request with nothing,
    // and the connection is ready for the next one.
    return finish(Status(StatusCode::kRefused,
                         "request refused by " + server_name() + ": no reply within " +
                             millis_text(connection_->options.reply_timeout) +
                             ", but the handshake after it was answered; the server's standard "
                             "error says why"));
  }
  // The reply came late. The answer to the handshake is yet to come, so the connection is
  // closed: it would be read as the reply to the next request.
  reply.resize(line_end + kLineEndLength);
  connection_->close();
  finish(Status());
}

Status Exchange::silence_error() const {
  return Status(StatusCode::kTimeout, "no reply from " + server_name() + " within " +
                                          millis_text(connection_->options.reply_timeout) +
                                          ", nor to the handshake sent then");
}

void Exchange::reconnect_or_fail(Status lost, bool unread, Clock::time_point now) {
  if (reconnected_ || !unread) return finish(std::move(lost));
  reconnected_ = true;
  connection_->close();
  connect(now);
}

void Exchange::finish(Status status) {
  step_ = Step::kDone;
  free_addresses();
  // After an error the connection may still carry the late reply. A request the client did not
  // send, or one the server refused, leaves it ready for the next.
  StatusCode code = status.code();
  if (!status.ok() && code != StatusCode::kInvalidArgument && code != StatusCode::kRefused) {
    connection_->close();
  }
  status_ = std::move(status);
}

int Exchange::fd() const {
  switch (step_) {
    case Step::kResolving:
      return lookup_.fd();
    case Step::kConnecting:
      return connecting_fd_;
    default:
      return connection_->fd;
  }
}

short Exchange::events() const {
  bool reads = step_ == Step::kResolving || step_ == Step::kReceiving || step_ == Step::kChecking;
  return reads ? POLLIN : POLLOUT;
}

void Exchange::on_ready(Clock::time_point now) {
  switch (step_) {
    case Step::kResolving:
      return take_addresses(now);
    case Step::kConnecting:
      return finish_connecting(now);
    case Step::kSending:
      return send_some(now);
    case Step::kReceiving:
    case Step::kChecking:
      return receive_some(now);
    case Step::kDone:
      return;
  }
}

void Exchange::on_deadline(Clock::time_point now) {
  const ClientOptions& options = connection_->options;
  switch (step_) {
    case Step::kResolving:
      return finish(Status(StatusCode::kConnectFailed, "connect " + server_name() +
                                                           ": no address for the name within " +
                                                           millis_text(connect_limit())));
    case Step::kConnecting:
      return finish(
          Status(StatusCode::kConnectFailed,
                 "connect " + server_name() + ": timed out after " + millis_text(connect_limit())));
    case Step::kSending:
      return finish(Status(StatusCode::kTimeout, "send to " + server_name() + ": timed out after " +
                                                     millis_text(options.reply_timeout)));
    case Step::kReceiving:
      if (check_silence_) return send_handshake_after_silence(now);
      return finish(Status(StatusCode::kTimeout, "no reply from " + server_name() + " within " +
                                                     millis_text(options.reply_timeout)));
    case Step::kChecking:
      return finish(silence_error());
    case Step::kDone:
      return;
  }
}

Status Exchange::read_grants(TokenGrant* grants) {
  Status parsed = parse_reply_line(connection_->reply, entries_, grants);
  // An error reply answers the request whole: the connection is ready for the next one.
  if (parsed.code() == StatusCode::kRefused) {
    return Status(StatusCode::kRefused,
                  "request refused by " + server_name() + ": " + parsed.message());
  }
  if (!parsed.ok()) connection_->close();
  return parsed;
}

Status Exchange::check_handshake_answer() {
  if (connection_->reply == kHandshakeAnswer) return Status();
  connection_->close();
  return Status(StatusCode::kBadReply, "bad reply: the handshake was not answered OK");
}

void run_exchanges(Exchange* const* exchanges, pollfd* watch, size_t count) {
  Clock::time_point now = Clock::now();
  for (;;) {
    Clock::time_point soonest = Clock::time_point::max();
    for (size_t i = 0; i < count; ++i) {
      Exchange& exchange = *exchanges[i];
      // poll passes over a negative descriptor: the entry keeps its place, and i its exchange.
      watch[i] = {exchange.done() ? -1 : exchange.fd(), exchange.events(), 0};
      if (!exchange.done()) soonest = std::min(soonest, exchange.deadline());
    }
    if (soonest == Clock::time_point::max()) return;  // every exchange is done
    // Readiness first, deadlines after: a deadline already past polls without waiting, and a
    // socket found ready takes its step. After a failed poll (EINTR), the deadlines decide.
    int ready = ::poll(watch, count, millis_until(soonest, now));
    now = Clock::now();
    for (size_t i = 0; i < count; ++i) {
      Exchange& exchange = *exchanges[i];
      if (ready > 0 && watch[i].revents != 0) {
        exchange.on_ready(now);
      } else if (!exchange.done() && now >= exchange.deadline()) {
        exchange.on_deadline(now);
      }
    }
  }
}

}  // namespace token_client
