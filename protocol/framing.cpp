// Request framing: receiving from the client socket until a request, ended by its first CR LF,
// is held at the front of req_buf, and dropping it from there once it is handled.
#include "protocol/framing.h"

#include <sys/socket.h>

#include <cassert>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <string_view>

#include "protocol/token_connection.h"
#include "protocol/trace.h"
#include "server/TokenServer.h"

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

void remove_handled_request(token_connection* conn) {
  conn->nread -= conn->req_len;
  if (conn->nread > 0) std::memmove(conn->req_buf, conn->req_buf + conn->req_len, conn->nread);
  conn->req_len = 0;
}

namespace {

constexpr std::string_view kEndTrace = "end: ";
constexpr std::string_view kRequestTrace = "message from client: ";

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

int TokenServer::read_request(token_connection* conn, char* buf, int bufsiz, int* nread) {
  int request_length = *nread > 1 ? reach_request_end(buf, *nread) : 0;
  while (*nread < bufsiz && request_length == 0) {
    int received = pull_data(conn, buf + *nread, bufsiz - *nread);
    if (received <= 0) break;
    // Bytes held before this receive hold no CR LF, but their last may be the CR of one.
    int scan_from = *nread > 0 ? *nread - 1 : 0;
    *nread += received;
    assert(*nread <= bufsiz && "*nread <= bufsiz");
    int tail_length = reach_request_end(buf + scan_from, *nread - scan_from);
    request_length = tail_length > 0 ? scan_from + tail_length : 0;
    conn->trace.add_number(kEndTrace, request_length);
  }
  // The request alone, never the requests pipelined behind it: a client cannot make one line
  // show its whole buffer again and again. With no whole request, the held bytes (never the stale
  // ones beyond them, left by earlier requests).
  int shown_length = request_length > 0 ? request_length : *nread;
  conn->trace.add_text(kRequestTrace, buf, static_cast<size_t>(shown_length));
  if (request_length == 0 && *nread == bufsiz) {
    // The peer broke the one limit on a request: say why its connection ends, after its trace.
    report_error(&conn->trace,
                 "request longer than " + std::to_string(bufsiz) + " bytes: connection closed");
  }
  return request_length;
}

int TokenServer::getreq(token_connection* conn) {
  conn->req_len = read_request(conn, conn->req_buf, conn->bufsiz, &conn->nread);
  return conn->req_len;
}
