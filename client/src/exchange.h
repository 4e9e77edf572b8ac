// Exchange: one request and its reply on one TokenClient's Connection, carried a step at a time,
// so that one thread can carry several at once with one poll over their sockets (a
// ShardedClient batch carries one per server) and a TokenClient carries its own alone.
//
// The steps: resolving the host and connecting, when the client has no connection (the host is
// resolved anew for each connection, off the calling thread, and each address tried in turn);
// sending the request line; receiving the one reply line. The reply is due one reply timeout
// after the exchange starts, name lookup and connecting (each also within the connect timeout)
// included; the handshake after a token request's silence takes one reply timeout more, so an
// exchange ends within twice the reply timeout.
//
// A reply always belongs to its request: an exchange that ends with an error, or that is
// destroyed before it is done, closes the connection, so that a late reply is never
// read as the answer to a later request. A kept connection that the server has closed while it
// was idle (or that holds bytes nobody asked for) is found before anything is sent, and
// replaced (checked when it was last used a millisecond or more before). A request is sent at most
// once, unless the server provably never read it: the connection was reset (the server's end closed
// with the request unread) before any reply byte; then it is sent once more on a new connection. A
// connection the server closed after reading the request is an error, never a reason to send it
// again.
//
// A server asked for detail answers a token request it refuses with an error reply (read_grants
// makes it kRefused). An older one answers it with nothing, so silence alone does not tell a
// refusal from a failed server. When a token request's reply does not come within the reply
// timeout, the exchange checks: it sends the handshake on the same connection and waits one more
// reply timeout. The token reply first means a slow server (the late grant is taken); "OK" first,
// a refused request (kRefused: the server is up, the connection ready for the next request);
// nothing, a failed server (kTimeout).
//
// Threads: an Exchange and its connection belong to the thread that carries them.
#pragma once

#include <netdb.h>
#include <poll.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "connection.h"
#include "name_lookup.h"
#include "token_client/TokenClient.h"
#include "wire.h"

namespace token_client {

class Exchange {
 public:
  using Clock = std::chrono::steady_clock;

  Exchange() = default;
  // Frees what a connection cut short holds; a connection left mid-exchange is closed.
  ~Exchange();
  Exchange(const Exchange&) = delete;
  Exchange& operator=(const Exchange&) = delete;

  // Each start_ call begins an exchange on `connection`, which must be idle, at `now`; it may be
  // done at once (already connected, refused at once, or nothing to send). The connection, and
  // the entries of a token request, must outlive the exchange.
  void start_connect(Connection* connection, Clock::time_point now);
  void start_handshake(Connection* connection, Clock::time_point now);
  // Writes the token request for `entries` into the connection's request buffer first; done at once
  // with kInvalidArgument, and nothing sent, when an entry may not be sent. `fallback`: see
  // write_request_line.
  void start_token_request(Connection* connection, EntryList entries, Clock::time_point now,
                           bool fallback = false);

  bool done() const { return step_ == Step::kDone; }
  // Once done: ok when the reply line (CR LF included) is in the connection's reply buffer.
  const Status& status() const { return status_; }
  // When the request began to go out, for a round-trip time.
  Clock::time_point sending_since() const { return sending_since_; }

  // While not done: the socket to poll, the events awaited, and when the wait ends.
  int fd() const;
  short events() const;
  Clock::time_point deadline() const { return deadline_; }
  // The next step, once poll finds fd() ready (or failed), or once the deadline has passed.
  void on_ready(Clock::time_point now);
  void on_deadline(Clock::time_point now);

  // Once done and ok: the grants the reply gives the token request's entries, grants[i] for
  // entries[i]. kRefused, the connection kept, for an error reply; kBadReply, with the connection
  // closed, when the reply does not answer them.
  Status read_grants(TokenGrant* grants);
  // Once done and ok: whether the reply answers the handshake; kBadReply, closed, when not.
  Status check_handshake_answer();

 private:
  enum class Step { kResolving, kConnecting, kSending, kReceiving, kChecking, kDone };

  void start(Connection* connection, const std::string* line, bool check_silence,
             Clock::time_point now);
  // Resolves the host and tries its addresses in turn, each until it connects or fails, all
  // within one connect timeout.
  void connect(Clock::time_point now);
  void take_addresses(Clock::time_point now);
  void connect_next_address(Clock::time_point now);
  void finish_connecting(Clock::time_point now);
  void connected(Clock::time_point now);
  void begin_sending(Clock::time_point now);
  void send_some(Clock::time_point now);
  void receive_some(Clock::time_point now);
  // The check after a token request's silence; read_first_answer takes the first line then.
  void send_handshake_after_silence(Clock::time_point now);
  void read_first_answer(size_t line_end);
  Status silence_error() const;
  // A connection found broken: made again once when the server never read the request
  // (`unread`: reset before any reply byte), else the exchange fails with `lost`.
  void reconnect_or_fail(Status lost, bool unread, Clock::time_point now);
  // The most that connecting may take: the connect timeout, within the reply timeout.
  std::chrono::milliseconds connect_limit() const;
  void finish(Status status);
  // Frees the resolved addresses and closes a socket still connecting.
  void free_addresses();
  std::string server_name() const;

  Connection* connection_ = nullptr;
  const std::string* line_ = nullptr;  // the request line; empty when only connecting
  EntryList entries_;                  // of a token request
  Step step_ = Step::kDone;
  Status status_;
  Clock::time_point deadline_;        // of the step under way
  Clock::time_point reply_deadline_;  // of the reply: start + reply timeout
  Clock::time_point call_deadline_;   // of the whole exchange: one reply timeout more
  Clock::time_point sending_since_;
  size_t sent_ = 0;                   // bytes of *line_ sent
  bool check_silence_ = false;        // a token request: its silence is checked with the handshake
  bool reconnected_ = false;          // the one new connection after a broken one is spent
  NameLookup lookup_;                 // while resolving
  addrinfo* addresses_ = nullptr;     // owned, while connecting
  addrinfo* next_address_ = nullptr;  // the next to try, in addresses_
  int connecting_fd_ = -1;            // owned, while its connection is in progress
  int connect_error_ = 0;             // errno of the last address that failed
};

// Carries every exchange until each is done, polling all their sockets at once. An exchange whose
// socket is ready takes its next step even when its deadline passed meanwhile: a thread held up
// elsewhere never makes a server that answered in time look failed. `watch` has room for `count`
// entries.
void run_exchanges(Exchange* const* exchanges, pollfd* watch, size_t count);

}  // namespace token_client
