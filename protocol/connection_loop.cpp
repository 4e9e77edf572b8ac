// The connection loop: each request's life, from its read to its reply, in one place; the two kinds
// of request, the handshake and token requests, which only produce the reply and count; and the
// sending of replies.
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

#include "protocol/framing.h"
#include "protocol/token_connection.h"
#include "protocol/token_request.h"
#include "protocol/trace.h"
#include "server/TokenServer.h"

namespace token_server {

void TokenServer::process_connection(token_connection* conn) {
  // `stop` is tested each turn so that a client that keeps sending cannot hold up a stop.
  while (!stop.load(std::memory_order_relaxed) && !conn->given_up && serve_request(conn)) {
  }
  conn->trace.flush();  // the lines of a read that found no request
}

bool TokenServer::serve_request(token_connection* conn) {
  if (getreq(conn) == 0) return false;
  if (isHeartbeat(conn)) {
    handshake(conn);
  } else {
    consume_tokens(conn);
  }
  ReplyResult sent = reply_request(conn);
  if (sent == ReplyResult::kSent) {
    conn->idle_from = std::chrono::steady_clock::now();  // the connection idles from here
    count_service_time(conn->counters, conn->idle_from - conn->received_at);
  }
  drop_handled_request(conn);
  // A failed send ends the connection: the requests held after it would be granted for a peer
  // that cannot hear the answers, from buckets others share.
  return sent != ReplyResult::kSendFailed;
}

bool TokenServer::isHeartbeat(token_connection* conn) {
  // The line is compared with its NUL: a longer request differs at the NUL, and a shorter one,
  // which ends at a CR LF of its own, differs sooner.
  constexpr int kComparedLength = kHeartbeatLength + 1;
  int compared = std::min(conn->req_len, kComparedLength);
  return std::memcmp(conn->req_buf + conn->req_start, kHeartbeatLine,
                     static_cast<size_t>(compared)) == 0;
}

void TokenServer::handshake(token_connection* conn) {
  std::memcpy(conn->reply_buf, kHandshakeReply, sizeof kHandshakeReply);
  conn->reply_len = kHandshakeReplyLength;
  count(conn->counters->handshakes);
}

void TokenServer::consume_tokens(token_connection* conn) {
  // The request is read in place, as NUL-terminated text: its CR becomes the NUL that ends the
  // JSON text, as a NUL inside it would. Its trace line holds a copy already, and the bytes held
  // after it are left alone.
  char* text = conn->req_buf + conn->req_start;
  text[conn->req_len - 2] = '\0';

  RequestCounters& counters = *conn->counters;
  ParsedTokenRequest request;
  if (!parse_token_request(text, &request)) {
    count(counters.parse_errors);
    report_error(&conn->trace, "json parse error");
    return;
  }
  BasicTokenBucket* buckets[kMaxTokenEntries];
  find_buckets(request, buckets);
  std::string problem = check_token_request(request, buckets);
  if (!problem.empty()) {
    count(counters.refusals);
    std::string line = "invalid token request: " + problem;
    report_error(&conn->trace, line);
    // A client that asked for detail hears the refusal at once instead of waiting it out.
    if (request.detail) conn->reply_len = write_error_reply(line, conn->reply_buf);
    return;
  }
  // Each entry is granted before the next, so a later entry with the same key draws from the
  // bucket as the earlier one left it.
  NewClientStart start = request.fallback ? NewClientStart::kEmpty : NewClientStart::kFull;
  EntryGrant grants[kMaxTokenEntries];
  uint64_t asked = 0;
  double granted = 0;
  uint64_t entries_limited = 0;  // granted fewer than they asked for
  for (int i = 0; i < request.entry_count; ++i) {
    const TokenEntry& entry = request.entries[i];
    EntryGrant& grant = grants[i];
    grant.tokens = grant_entry(entry, buckets[i], request.detail ? &grant.detail : nullptr, start);
    asked += static_cast<uint64_t>(entry.need_tokens);
    granted += grant.tokens;
    entries_limited += grant.tokens < entry.need_tokens ? 1 : 0;
  }
  conn->reply_len = write_token_reply(request, grants, conn->reply_buf);
  count(counters.token_requests);
  count(counters.entries_requested, static_cast<uint64_t>(request.entry_count));
  count(counters.tokens_requested, asked);
  count(counters.tokens_granted, static_cast<uint64_t>(granted));
  count(counters.entries_limited, entries_limited);
}

void TokenServer::find_buckets(const ParsedTokenRequest& request, BasicTokenBucket* buckets[]) {
  const char* accesskeys[kMaxTokenEntries];
  for (int i = 0; i < request.entry_count; ++i) accesskeys[i] = request.entries[i].accesskey;
  ClientEntry* found[kMaxTokenEntries];
  clients.find_all(accesskeys, static_cast<size_t>(request.entry_count), found);
  for (int i = 0; i < request.entry_count; ++i) {
    buckets[i] = found[i] == nullptr ? nullptr : &found[i]->second;
  }
}

double TokenServer::grant_entry(const TokenEntry& entry, BasicTokenBucket* bucket,
                                DrawDetail* detail, NewClientStart start) {
  if (bucket != nullptr) {
    return draw_tokens(bucket, entry.need_tokens, entry.gen_rate, entry.burst_size, detail);
  }
  return grant_tokens(entry.accesskey, entry.need_tokens, entry.gen_rate, entry.burst_size, detail,
                      start);
}

TokenServer::ReplyResult TokenServer::reply_request(token_connection* conn) {
  if (conn->reply_len <= 0) return ReplyResult::kNoReply;
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
    return ReplyResult::kSendFailed;
  }
  return ReplyResult::kSent;
}

}  // namespace token_server
