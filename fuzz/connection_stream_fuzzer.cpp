// Fuzzes the byte stream of one connection: arbitrary bytes in arbitrary receive splits through
// request framing, the handshake and token request handling, with the connection record checked
// after every step.
//
// Input: the first byte, modulo kMaxSplitBytes + 1, counts the split bytes that follow; each split
// byte b sets one receive of 1 + b*b/4 bytes, and they are used in turn over the stream, which is
// the rest of the input. The stream goes through a SOCK_SEQPACKET socket pair, which hands each
// chunk to one receive of its own, so the input's splits are the server's receive splits. A
// receive with less room left than its chunk takes the front of the chunk and drops the rest.
#include <sys/socket.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "protocol/framing.h"
#include "protocol/token_connection.h"
#include "server/TokenServer.h"
#include "server/unique_fd.h"

namespace token_server {
namespace {

constexpr size_t kMaxSplitBytes = 16;
// Further chunks only slow the runs down; the last one takes whatever is left.
constexpr size_t kMaxChunks = 64;
// Two buffers' worth is enough to fill req_buf and go past it.
constexpr size_t kMaxStreamBytes = 2 * kConnectionBufferSize;

struct FuzzInput {
  std::vector<uint8_t> splits;
  const uint8_t* stream = nullptr;
  size_t stream_size = 0;
};

FuzzInput split_input(const uint8_t* data, size_t size) {
  FuzzInput input;
  if (size == 0) return input;
  size_t split_count = std::min<size_t>(data[0] % (kMaxSplitBytes + 1), size - 1);
  input.splits.assign(data + 1, data + 1 + split_count);
  input.stream = data + 1 + split_count;
  input.stream_size = std::min(size - 1 - split_count, kMaxStreamBytes);
  return input;
}

size_t chunk_length(uint8_t split) { return 1 + static_cast<size_t>(split) * split / 4; }

// Sends the stream chunk by chunk, then ends it, so that the server's reads end too.
void send_stream(int fd, const FuzzInput& input) {
  size_t offset = 0;
  for (size_t chunk = 0; offset < input.stream_size; ++chunk) {
    size_t length = input.stream_size - offset;
    if (!input.splits.empty() && chunk + 1 < kMaxChunks) {
      length = std::min(length, chunk_length(input.splits[chunk % input.splits.size()]));
    }
    ssize_t sent = ::send(fd, input.stream + offset, length, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent != static_cast<ssize_t>(length)) break;  // the pair is full: the rest is not sent
    offset += length;
  }
  ::shutdown(fd, SHUT_WR);
}

bool is_heartbeat_line(const char* request, int length) {
  return length == kHeartbeatLength && std::memcmp(request, kHeartbeatLine, kHeartbeatLength) == 0;
}

// Runs the connection loop step by step, as process_connection does, checking between steps.
class ConnectionDriver {
 public:
  // Takes `record` and makes it fresh for a new connection, as a worker does.
  ConnectionDriver(token_connection* record, int client_fd, int peer_fd)
      : conn_(record), peer_fd_(peer_fd) {
    *conn_ = {};
    conn_->client_fd = client_fd;
  }

  // Reads and answers one request; false once the connection would end.
  bool step() {
    int request_length = server_.getreq(conn_);
    check_held_bytes();
    if (request_length <= 0) return false;
    check_request_framed();
    std::string held(held_bytes(), static_cast<size_t>(held_count()));
    bool heartbeat = server_.isHeartbeat(conn_);
    FUZZ_CHECK(heartbeat == is_heartbeat_line(held_bytes(), request_length));
    if (heartbeat) {
      server_.handshake(conn_);
    } else {
      server_.consume_tokens(conn_);
    }
    check_reply(heartbeat, request_length);
    TokenServer::ReplyResult sent = server_.reply_request(conn_);
    FUZZ_CHECK(sent == (conn_->reply_len > 0 ? TokenServer::ReplyResult::kSent
                                             : TokenServer::ReplyResult::kNoReply));
    check_peer_received();
    drop_handled_request(conn_);
    check_request_removed(held, request_length);
    return true;
  }

 private:
  char* held_bytes() const { return conn_->req_buf + conn_->req_start; }
  int held_count() const { return conn_->nread - conn_->req_start; }

  void check_held_bytes() const {
    FUZZ_CHECK(conn_->req_start >= 0 && conn_->req_start <= conn_->nread);
    FUZZ_CHECK(conn_->nread <= kConnectionBufferSize);
  }

  // The request is the held bytes up to and including their first CR LF.
  void check_request_framed() const {
    int length = conn_->req_len;
    FUZZ_CHECK(length >= 2 && length <= held_count());
    FUZZ_CHECK(TokenServer::reach_request_end(held_bytes(), length) == length);
  }

  // The handled request is gone and the bytes after it now lead the buffer.
  void check_request_removed(const std::string& held, int request_length) const {
    FUZZ_CHECK(conn_->req_len == 0);
    FUZZ_CHECK(held_count() == static_cast<int>(held.size()) - request_length);
    FUZZ_CHECK(std::memcmp(held_bytes(), held.data() + request_length,
                           static_cast<size_t>(held_count())) == 0);
  }

  // A reply is one NUL-free CR LF-ended line, never longer than its request.
  void check_reply(bool heartbeat, int request_length) const {
    int length = conn_->reply_len;
    if (heartbeat) {
      FUZZ_CHECK(length == kHandshakeReplyLength);
      FUZZ_CHECK(std::strcmp(conn_->reply_buf, kHandshakeReply) == 0);
      return;
    }
    FUZZ_CHECK(length >= 0 && length <= request_length);
    if (length == 0) return;
    FUZZ_CHECK(std::strlen(conn_->reply_buf) == static_cast<size_t>(length));
    FUZZ_CHECK(std::memcmp(conn_->reply_buf + length - 2, "\r\n", 2) == 0);
  }

  // The peer gets exactly the reply, as one message, or nothing when there is none.
  void check_peer_received() const {
    char received[kConnectionBufferSize + 1];
    ssize_t length = ::recv(peer_fd_, received, sizeof received, MSG_DONTWAIT);
    if (conn_->reply_len == 0) {
      FUZZ_CHECK(length < 0);
      return;
    }
    FUZZ_CHECK(length == conn_->reply_len);
    FUZZ_CHECK(std::memcmp(received, conn_->reply_buf, static_cast<size_t>(length)) == 0);
  }

  TokenServer server_{0, 0};  // no workers, never listens: a fresh client map per input
  token_connection* conn_;
  int peer_fd_;
};

void serve_stream(const uint8_t* data, size_t size) {
  int fds[2];
  FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) == 0);
  UniqueFd server_end(fds[0]);
  UniqueFd peer_end(fds[1]);
  send_stream(peer_end.get(), split_input(data, size));
  // One record serves every input: a fresh allocation per input would cost more than the run.
  static token_connection record;
  ConnectionDriver driver(&record, server_end.get(), peer_end.get());
  while (driver.step()) {
  }
}

}  // namespace
}  // namespace token_server

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  discard_trace_output();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  token_server::serve_stream(data, size);
  return 0;
}
