// The per-connection record and the constants of the wire protocol.
//
// A request is every byte up to and including the first CR LF; bytes after it begin the next
// request. The line "SHAKE\r\n" is the handshake, answered with "OK\r\n"; any other request is a
// token request. A token_connection belongs to the one worker that serves its connection and is
// never shared, so none of its fields is guarded by a lock.
#pragma once

#include <chrono>
#include <cstddef>

#include "protocol/request_counters.h"
#include "protocol/trace.h"

namespace token_server {

// Capacity of each buffer of a connection; a request, CR LF included, is at most this long.
constexpr int kConnectionBufferSize = 16384;
// Capacity of a connection's reply buffer. A plain reply is never longer than its request; a
// detailed one may be, by a few digits an entry (token_request.h checks that it fits).
constexpr int kReplyBufferSize = kConnectionBufferSize * 3 / 2;

// The handshake line and its reply, without a terminating NUL.
constexpr char kHeartbeatLine[] = "SHAKE\r\n";
constexpr int kHeartbeatLength = sizeof(kHeartbeatLine) - 1;
constexpr char kHandshakeReply[] = "OK\r\n";
constexpr int kHandshakeReplyLength = sizeof(kHandshakeReply) - 1;

struct token_connection {
  int client_fd;  // connected, blocking client socket; owned and closed by the worker
  // Received bytes: those before req_start are handled, those from req_start to nread are held.
  // Invariant: 0 <= req_start <= nread <= kConnectionBufferSize. After a successful read the first
  // req_len held bytes are the current request, ending with its first CR LF. A handled request is
  // dropped by moving req_start past it; the held bytes move to the front of req_buf only when no
  // whole request is held, before the next receive, so pipelined requests cost no move each.
  char req_buf[kConnectionBufferSize];
  int nread;
  int req_start;
  // Reply text to send, NUL-terminated; reply_len == 0 means there is nothing to send.
  char reply_buf[kReplyBufferSize];
  int reply_len;
  int req_len;        // length of the current request, CR LF included; 0 means no request
  TraceBuffer trace;  // this connection's trace lines not yet written
  RequestCounters* counters = &uncounted_requests;  // where the serving worker counts requests
  // When the last receive returned. Receives happen only while no whole request is held, so
  // this is when the current request's last byte arrived.
  std::chrono::steady_clock::time_point received_at;
};

}  // namespace token_server
