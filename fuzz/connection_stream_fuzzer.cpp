// Fuzzes the byte stream of one connection through the connection loop's own step,
// serve_request: arbitrary bytes in arbitrary receive splits through request framing, the
// handshake and token request handling. After every step, the bytes the server holds and what the
// peer received are checked against a model of the framing: the stream as the server receives it,
// cut into requests at each first CR LF.
//
// Input: the first byte, modulo kMaxSplitBytes + 1, counts the split bytes that follow; each split
// byte b sets one receive of 1 + b*b/4 bytes, and they are used in turn over the stream, which is
// the rest of the input. The stream goes through a SOCK_SEQPACKET socket pair, which hands each
// chunk to one receive of its own, so the input's splits are the server's receive splits. A
// receive with less room left than its chunk takes the front of the chunk and drops the rest.
#include <sys/socket.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "protocol/token_connection.h"
#include "server/TokenServer.h"
#include "tests/support/paired_connection.h"

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

// Sends the stream chunk by chunk, then ends it, so that the server's reads end too. Returns the
// chunks sent.
std::vector<std::string_view> send_stream(PairedConnection* pair, const FuzzInput& input) {
  std::vector<std::string_view> sent;
  const char* stream = reinterpret_cast<const char*>(input.stream);
  for (size_t offset = 0; offset < input.stream_size;) {
    size_t length = input.stream_size - offset;
    if (!input.splits.empty() && sent.size() + 1 < kMaxChunks) {
      length = std::min(length, chunk_length(input.splits[sent.size() % input.splits.size()]));
    }
    if (!pair->peer_sends({stream + offset, length})) break;  // the pair is full: no more is sent
    sent.emplace_back(stream + offset, length);
    offset += length;
  }
  ::shutdown(pair->peer(), SHUT_WR);
  return sent;
}

// The framing as the server must do it: each receive takes the next chunk, as much as fits beside
// the held bytes; a request ends at the first CR LF.
class FramingModel {
 public:
  explicit FramingModel(std::vector<std::string_view> chunks) : chunks_(std::move(chunks)) {}

  // The next request and drops it from the held bytes; "" when the connection must end.
  std::string next_request() {
    for (size_t end; (end = held_.find("\r\n")) == std::string::npos;) {
      if (held_.size() == kConnectionBufferSize || next_chunk_ == chunks_.size()) return "";
      std::string_view chunk = chunks_[next_chunk_++];
      held_.append(chunk.substr(0, kConnectionBufferSize - held_.size()));
    }
    size_t length = held_.find("\r\n") + 2;
    std::string request = held_.substr(0, length);
    held_.erase(0, length);
    return request;
  }
  const std::string& held() const { return held_; }

 private:
  std::vector<std::string_view> chunks_;
  size_t next_chunk_ = 0;
  std::string held_;
};

// The one message the peer can read now, "" when there is none; a second is a failure.
std::string peer_message(int peer) {
  std::string message(2 * kConnectionBufferSize, '\0');
  ssize_t length = ::recv(peer, message.data(), message.size(), MSG_DONTWAIT);
  message.resize(length > 0 ? static_cast<size_t>(length) : 0);
  char more;
  FUZZ_CHECK(::recv(peer, &more, 1, MSG_DONTWAIT) < 0);
  return message;
}

// The handshake is answered with its reply; any other request with nothing, or with one JSON
// line no longer than the request.
void check_reply(const std::string& request, const std::string& reply) {
  if (request == kHeartbeatLine) {
    FUZZ_CHECK(reply == kHandshakeReply);
    return;
  }
  if (reply.empty()) return;
  FUZZ_CHECK(reply.size() <= request.size());
  FUZZ_CHECK(reply.front() == '{');
  FUZZ_CHECK(reply.find('\0') == std::string::npos);
  FUZZ_CHECK(reply.find("\r\n") == reply.size() - 2);
}

void serve_stream(const uint8_t* data, size_t size) {
  PairedConnection pair(SOCK_SEQPACKET);
  FUZZ_CHECK(pair.opened());
  FramingModel model(send_stream(&pair, split_input(data, size)));
  TokenServer server(0, 0);  // no workers, never listens: a fresh client map per input
  token_connection* conn = pair.conn();
  for (bool goes_on = true; goes_on;) {
    std::string request = model.next_request();
    goes_on = server.serve_request(conn);
    FUZZ_CHECK(goes_on == !request.empty());
    FUZZ_CHECK(conn->req_start >= 0 && conn->req_start <= conn->nread);
    FUZZ_CHECK(conn->nread <= kConnectionBufferSize);
    FUZZ_CHECK(std::string_view(conn->req_buf + conn->req_start,
                                static_cast<size_t>(conn->nread - conn->req_start)) ==
               model.held());
    std::string reply = peer_message(pair.peer());
    if (goes_on) {
      FUZZ_CHECK(conn->req_len == 0 && conn->reply_len == 0);
      check_reply(request, reply);
    } else {
      FUZZ_CHECK(reply.empty());
    }
  }
}

}  // namespace
}  // namespace token_server

TOKEN_FUZZ_TARGET(token_server::serve_stream)
