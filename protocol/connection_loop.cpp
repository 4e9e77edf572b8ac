// The connection loop: one request at a time, the handshake, and the sending of replies.
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "protocol/framing.h"
#include "protocol/token_connection.h"
#include "protocol/trace.h"
#include "server/TokenServer.h"

void TokenServer::process_connection(token_connection* conn) {
  // `stop` is tested each turn so that a client that keeps sending cannot hold up a stop.
  while (!stop.load(std::memory_order_relaxed) && getreq(conn) > 0) {
    if (isHeartbeat(conn)) {
      handshake(conn);
      count(conn->counters->handshakes);
    } else {
      consume_tokens(conn);
    }
    int sent = reply_request(conn);
    // A failed send ends the connection: the requests held after it would be granted for a peer
    // that cannot hear the answers, from buckets others share.
    if (sent < 0) break;
    if (sent > 0) {
      count_service_time(conn->counters, std::chrono::steady_clock::now() - conn->received_at);
    }
    // The reply is NUL-terminated and bounded by reply_len, so clearing its head is enough.
    conn->reply_len = 0;
    conn->reply_buf[0] = '\0';
  }
  conn->trace.flush();  // the lines of a read that found no request
}

bool TokenServer::isHeartbeat(token_connection* conn) {
  // The line is compared with its NUL: a longer request differs at the NUL, and a shorter one,
  // which ends at a CR LF of its own, differs sooner.
  constexpr int kComparedLength = kHeartbeatLength + 1;
  int compared = std::min(conn->req_len, kComparedLength);
  return std::memcmp(conn->req_buf, kHeartbeatLine, static_cast<size_t>(compared)) == 0;
}

void TokenServer::handshake(token_connection* conn) {
  std::memcpy(conn->reply_buf, kHandshakeReply, sizeof kHandshakeReply);
  conn->reply_len = kHandshakeReplyLength;
  remove_handled_request(conn);
}

int TokenServer::reply_request(token_connection* conn) {
  if (conn->reply_len <= 0) return 0;
  conn->trace.add_server_text("reply msg: ", conn->reply_buf, static_cast<size_t>(conn->reply_len));
  // Every line of a request is out before its reply, which the peer may act on at once.
  conn->trace.flush();
  int sent = 0;
  while (sent < conn->reply_len) {
    // The socket blocks while the peer does not read; a stop shuts it down and ends the wait.
    ssize_t written = ::send(conn->client_fd, conn->reply_buf + sent,
                             static_cast<size_t>(conn->reply_len - sent), MSG_NOSIGNAL);
    if (written > 0) {
      sent += static_cast<int>(written);
      continue;
    }
    if (written < 0 && errno == EINTR && !stop.load(std::memory_order_relaxed)) continue;
    return -1;
  }
  return sent;
}
