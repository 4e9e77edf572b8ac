// Request framing: receiving from the client socket until a request, ended by its first CR LF,
// is held, and dropping it once it is handled.
#include "protocol/framing.h"

#include <sys/socket.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <string_view>

#include "protocol/token_connection.h"
#include "protocol/trace.h"
#include "server/TokenServer.h"

namespace token_server {

int TokenServer::reach_request_end(char* buf, int len) {
  if (buf == nullptr || len < 2) return 0;
  // memchr skips to each CR; the last byte is not searched, since a CR there has no LF yet.
  const char* last = buf + len - 1;
  for (const char* cr = buf; (cr = static_cast<const char*>(std::memchr(cr, '\r', last - cr)));
       ++cr) {
    if (cr[1] == '\n') return static_cast<int>(cr - buf) + 2;
  }
  return 0;
}

void drop_handled_request(token_connection* conn) {
  conn->req_start += conn->req_len;
  conn->req_len = 0;
  conn->reply_len = 0;
}

namespace {

constexpr std::string_view kEndTrace = "end: ";
constexpr std::string_view kRequestTrace = "message from client: ";

// Moves the held bytes to the front of req_buf, so that a receive has all the room after them.
void move_held_bytes_to_front(token_connection* conn) {
  int held = conn->nread - conn->req_start;
  if (held > 0) std::memmove(conn->req_buf, conn->req_buf + conn->req_start, held);
  conn->nread = held;
  conn->req_start = 0;
}

// Publishes when the connection went idle: its last reply, or the last receive of a request that
// got none, or its start. A relaxed store to the worker's own line: no locked instruction.
void publish_idle(token_connection* conn) {
  auto idle_from = std::max(conn->idle_from, conn->received_at);
  int64_t nanos =
      std::chrono::duration_cast<std::chrono::nanoseconds>(idle_from.time_since_epoch()).count();
  conn->idle_mark->since.store(std::max<int64_t>(nanos, 1), std::memory_order_relaxed);
}

}  // namespace

int TokenServer::pull_data(token_connection* conn, char* dst, int size) {
  // The receive may wait for the peer: whatever is traced so far must be out first, so that the
  // trace of a half-received request shows while the server waits for the rest.
  conn->trace.flush();
  for (;;) {
    // The socket blocks: a silent peer costs its worker nothing until it sends or goes away.
    ssize_t received = ::recv(conn->client_fd, dst, static_cast<size_t>(size), 0);
    if (received > 0) {
      conn->received_at = std::chrono::steady_clock::now();  // a vDSO read: no system call
      return static_cast<int>(received);
    }
    if (received < 0 && errno == EINTR && !stop.load(std::memory_order_relaxed)) continue;
    return -1;  // closed by the peer or by a stop, or failed
  }
}

int TokenServer::getreq(token_connection* conn) {
  int request_length =
      reach_request_end(conn->req_buf + conn->req_start, conn->nread - conn->req_start);
  if (request_length == 0) request_length = receive_request(conn);
  // The request alone, never the requests pipelined behind it: a client cannot make one line
  // show its whole buffer again and again. With no whole request, the held bytes (never the stale
  // ones beyond them, left by earlier requests). Copied now, before a parse in place changes it.
  int shown_length = request_length > 0 ? request_length : conn->nread - conn->req_start;
  conn->trace.add_text(kRequestTrace, conn->req_buf + conn->req_start,
                       static_cast<size_t>(shown_length));
  if (request_length == 0 && conn->nread == kConnectionBufferSize) {
    // The peer broke the one limit on a request: say why its connection ends, after its trace.
    report_error(&conn->trace, "request longer than " + std::to_string(kConnectionBufferSize) +
                                   " bytes: connection closed");
  }
  conn->req_len = request_length;
  return request_length;
}

int TokenServer::receive_request(token_connection* conn) {
  move_held_bytes_to_front(conn);
  int request_length = 0;
  // Holding no byte of a request, the connection idles until the first one arrives.
  bool idle = conn->nread == 0 && conn->idle_mark != nullptr;
  while (request_length == 0 && conn->nread < kConnectionBufferSize) {
    if (idle) publish_idle(conn);
    int received =
        pull_data(conn, conn->req_buf + conn->nread, kConnectionBufferSize - conn->nread);
    if (idle) {
      idle = false;
      // Claimed: the accept loop shut the receiving down for a waiting connection. A request
      // that came first is still served; then the connection ends.
      if (conn->idle_mark->since.exchange(IdleMark::kBusy) == IdleMark::kClaimed) {
        conn->given_up = true;
      }
    }
    if (received <= 0) break;
    // Bytes held before this receive hold no CR LF, but their last may be the CR of one.
    int scan_from = conn->nread > 0 ? conn->nread - 1 : 0;
    conn->nread += received;
    assert(conn->nread <= kConnectionBufferSize);
    int tail_length = reach_request_end(conn->req_buf + scan_from, conn->nread - scan_from);
    request_length = tail_length > 0 ? scan_from + tail_length : 0;
    conn->trace.add_number(kEndTrace, request_length);
  }
  return request_length;
}

}  // namespace token_server
