// TokenClient: one connection to one token server, and the calls it answers.
//
// A client connects on first use (or on connect()), keeps the connection for later calls, and
// sends one request at a time: the handshake (ping) or a token request for one access key
// (acquire) or for many in one request (acquire_batch). Each call returns exactly what the server
// answered.
//
// Errors are values, never exceptions: every call returns a Status, and its out-parameters hold an
// answer only when the Status is ok. What each code means for the request:
//   kInvalidArgument  rejected before anything was sent, in the server's own words (a key too
//                     long, a negative need, ...): the server would refuse it
//   kConnectFailed    no connection could be made (the name had no address in time, ...);
//                     nothing was sent
//   kTimeout          sent, but the server answered nothing: it has failed (see below)
//   kConnectionLost   the connection broke during the exchange; the request may have been read
//   kBadReply         the reply does not answer the request (wrong keys, count or order), or is
//                     not one to trust: not JSON, a member named twice, nested deeper than 64,
//                     longer than any reply. Members it does not know are passed over.
//   kRefused          the server took the request as breaking one of its rules (a rate of 0 for
//                     a key it does not know, ...) and granted nothing. A server asked for detail
//                     says which rule in its error reply, and the message carries its words; an
//                     older one says so only on its standard error. The server is up; sending the
//                     same request again is refused again.
// After any error but kInvalidArgument and kRefused the connection is closed, so a late reply can
// never be taken for the answer to a later request; the next call connects again.
//
// Time. A call ends within twice the reply timeout: the reply is due one reply timeout after the
// call starts, name lookup, connecting and sending included (lookup and connecting also within
// the connect timeout), and the handshake below takes one more. Host names are resolved off the
// calling thread (a thread of its own), so a slow resolver holds no call past its timeout; a
// numeric address needs no resolver.
//
// Detail. Token requests ask for detail (ClientOptions::detail, on by default): the server tells,
// with each grant, the whole tokens left in the key's bucket and how long until it holds what was
// not granted (TokenGrant), and answers a request it refuses with an error reply, so a refusal is
// known at once. A server older than the detail ignores the request for it: its grants come
// without it, and it answers a refusal with nothing at all.
//
// Such a server, or one not asked for detail, is silent about a refusal, so a silent server is not
// yet a failed one. When a token request's reply does not come within the reply timeout, the
// client sends the handshake on the same connection and waits one reply timeout more: the token
// reply first is a slow server's late grant, and is taken; "OK" first is a refusal (kRefused);
// nothing is a failed server (kTimeout). A failed server therefore costs up to twice the reply
// timeout.
//
// Deny cache (ClientOptions::deny_cache, off by default). For keys that are denied most of the
// time: once a server grants a key less than it asked for and says when to come back, calls for
// that key are answered 0 (TokenGrant::cached) without asking the server until then, unless a
// call names another rate or burst size, which only the server can apply.
//
// A request is sent at most once per call, unless the server provably never read it. A kept
// connection the server closed while idle (as it closes idle connections when other clients
// wait) is found before the request is sent, and replaced: nothing is sent twice. A connection
// reset before any reply byte (the server's end closed with the request unread, as when the
// server restarted) is made again once and the request sent again. A connection the server
// closed after reading the request is kConnectionLost: the request may have been granted.
//
// Threads: a TokenClient is used by one thread at a time; it has no lock. To share connections
// among threads, use a TokenClientPool (TokenClientPool.h). The server serves each connection on
// one of its 50 workers for as long as the connection stays open, for every application that
// uses it: a client per thread soon takes them all, and a pool keeps to a few.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace token_client {

struct Connection;
class DenyCache;

// Longest access key the server takes, in bytes.
constexpr int kMaxAccessKeyLength = 29;
// Longest request line the server reads, CR LF included; a longer one ends the connection.
constexpr int kMaxRequestBytes = 16384;
constexpr uint16_t kDefaultPort = 6666;

enum class StatusCode {
  kOk,
  kInvalidArgument,
  kConnectFailed,
  kTimeout,
  kConnectionLost,
  kBadReply,
  kRefused,
};

class Status {
 public:
  Status() = default;  // ok
  Status(StatusCode code, std::string message) : code_(code), message_(std::move(message)) {}

  bool ok() const { return code_ == StatusCode::kOk; }
  StatusCode code() const { return code_; }
  // One line saying what failed, e.g. "connect 127.0.0.1:6666: Connection refused".
  const std::string& message() const { return message_; }

 private:
  StatusCode code_ = StatusCode::kOk;
  std::string message_;
};

// A server address. Its text form "HOST:PORT" also names the server for sharding.
struct Endpoint {
  std::string host;
  uint16_t port = kDefaultPort;

  std::string to_string() const;
};

// Parses "HOST:PORT" (the port after the last colon, 1 to 65535) or a bare "HOST", which takes
// kDefaultPort.
Status parse_endpoint(const std::string& text, Endpoint* endpoint);

struct ClientOptions {
  // The most that name lookup and connecting may take, within the reply timeout.
  std::chrono::milliseconds connect_timeout{1000};
  // From the start of a call to the whole reply, a new connection's lookup and connect included;
  // as much again for the handshake that tells a refused token request from a failed server.
  std::chrono::milliseconds reply_timeout{1000};
  // Token requests ask for the remaining tokens, the wait and an error reply to a refusal.
  bool detail = true;
  // Shared by every client, pool and fleet given these options; none when null.
  std::shared_ptr<DenyCache> deny_cache = nullptr;
};

// A deny cache to share (see the top of this file); it holds a key while its wait lasts.
std::shared_ptr<DenyCache> make_deny_cache();

// One entry of a token request: the access key naming the bucket, the tokens wanted now, and
// the bucket's rate (tokens per second) and size. A known key's bucket keeps its stored rate or
// size when the request gives 0 or less; a new key needs both above 0, or the server refuses the
// request (kRefused).
struct TokenRequest {
  std::string accesskey;    // at most kMaxAccessKeyLength bytes, no NUL byte
  int32_t need_tokens = 0;  // 0 or more
  int32_t gen_rate = 0;
  int32_t burst_size = 0;
};

// The answer to one entry of a token request.
struct TokenGrant {
  uint32_t tokens = 0;
  // What a server asked for detail tells: the whole tokens left in the key's bucket after this
  // grant, and how long until it holds the part of the need not granted (at most a full bucket);
  // zero when the need was met. Absent when the server did not tell.
  std::optional<uint64_t> remaining;
  std::optional<std::chrono::milliseconds> retry_after;
  // Answered 0 by the deny cache without asking; retry_after is then the wait still left.
  bool cached = false;
};

// Whether `request` may be sent: kInvalidArgument naming the problem in the server's words
// ("need_tokens is negative"), or ok. A call refuses a bad entry so, at once, naming its place
// ("entry 2: ..."). What only the server knows (a rate or size of 0 or less, refused for a new
// key and kept for a known one) is left to the server: kRefused.
Status check_token_request(const TokenRequest& request);

class TokenClient {
 public:
  explicit TokenClient(Endpoint server, ClientOptions options = {});
  ~TokenClient();  // closes the connection
  TokenClient(const TokenClient&) = delete;
  TokenClient& operator=(const TokenClient&) = delete;

  // Connects now instead of on the first call; does nothing when already connected.
  Status connect();
  // Sends the handshake and checks the answer: a health check. `round_trip`, when given, gets
  // the time from sending to the whole answer (connecting not counted).
  Status ping(std::chrono::microseconds* round_trip = nullptr);
  // Asks for request.need_tokens tokens; `granted` gets the whole tokens the server granted,
  // from 0 to need_tokens.
  Status acquire(const TokenRequest& request, uint32_t* granted);
  // The same, with the detail.
  Status acquire(const TokenRequest& request, TokenGrant* grant);
  // Asks for every entry in one request; (*granted)[i] answers batch[i]. The entries are granted
  // in order, so a key named twice draws the second time from what the first left. The request
  // must fit one line of kMaxRequestBytes (about 200 entries); an empty batch sends nothing.
  Status acquire_batch(const std::vector<TokenRequest>& batch, std::vector<uint32_t>* granted);
  // The same, with the detail.
  Status acquire_batch(const std::vector<TokenRequest>& batch, std::vector<TokenGrant>* grants);

  void close();
  bool connected() const;
  const Endpoint& endpoint() const;

  // The socket and buffers this client's calls work on, for the library's own code that carries
  // several clients' exchanges at once (a ShardedClient batch); opaque outside the library.
  Connection& connection() { return *connection_; }

 private:
  // Checks and answers entries[0, count), sending those the deny cache does not answer;
  // grants[i] answers entries[i].
  Status acquire_entries(const TokenRequest* entries, size_t count, TokenGrant* grants);

  const std::unique_ptr<Connection> connection_;
};

}  // namespace token_client
