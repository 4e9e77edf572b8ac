// TokenClientPool: a few connections to one token server, shared by any number of threads.
//
// The server serves each connection on one of its fixed pool of workers (50) for as long as the
// connection stays open, and every application that uses the server shares those workers. A
// TokenClient keeps its connection until it is closed, so many of them starve everyone else. A
// pool holds at most PoolOptions::max_connections connections: each call borrows one (a
// TokenClient), makes its exchange and gives it back; a call that finds every connection
// borrowed waits up to PoolOptions::borrow_timeout for one. A connection left idle for
// PoolOptions::idle_timeout is closed, so an application at rest gives its workers back.
//
// Calls answer as TokenClient's do, with the same Status codes (TokenClient.h), plus one case:
//   kConnectFailed    also when every connection stayed borrowed for borrow_timeout; nothing
//                     was sent
// A connection that fails a call is closed and its place freed; the next call that needs it
// connects again. A connection goes back to the pool only once its call read the whole reply: a
// call cut short closes it. An idle connection the server closed is replaced when borrowed, before
// anything is sent on it (TokenClient.h).
//
// A Lease lends one connection to a caller for several calls in a row; the pool's own calls each
// take one for their exchange.
//
// Threads: every member may be called from any number of threads at once, except that the
// destructor must not run while a call or a lease is in progress. A call holds `mutex_` only to
// take or give back a connection, never across connecting, sending or receiving. A reaper thread
// of the pool's own runs while connections are idle: it sleeps until the oldest idle connection's
// time is up, closes the expired ones, and ends when it wakes to find none idle; the next
// connection given back starts it again. close() closes the idle connections now (the reaper
// then ends) and the pool stays usable; the destructor also waits for the reaper to end.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "token_client/TokenClient.h"

namespace token_client {

struct PoolOptions {
  // The most connections open at once, borrowed or idle; at least 1. The sum over every process
  // that uses one server must stay under the server's 50 workers.
  size_t max_connections = 4;
  // A connection given back and not borrowed again within this time is closed.
  std::chrono::milliseconds idle_timeout{10000};
  // How long a call waits for a connection when all of them are borrowed.
  std::chrono::milliseconds borrow_timeout{2000};
};

class EntryList;

class TokenClientPool {
 public:
  using Clock = std::chrono::steady_clock;

  // One connection of a pool lent to one caller: a TokenClient for any number of calls in a row,
  // given back when the lease ends. A call cut short closes its connection (TokenClient.h), so a
  // connection goes back carrying no reply of its; a closed one frees its place.
  class Lease {
   public:
    Lease() = default;  // holds nothing
    // Takes an idle connection, or a new client (it connects on its first call) while fewer than
    // max_connections are open; waits until `deadline` when none is free (not at all when it has
    // passed). Holds nothing when none came in time: status() says so (kConnectFailed).
    Lease(TokenClientPool& pool, Clock::time_point deadline)
        : pool_(&pool), taken_(pool.borrow(deadline, &client_)) {}
    ~Lease() { reset(); }
    Lease(Lease&& other) noexcept = default;
    Lease& operator=(Lease&& other) noexcept;
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;

    explicit operator bool() const { return client_ != nullptr; }
    // Ok, or why no connection was taken.
    Status status() const { return taken_ ? Status() : pool_->busy_error(); }
    TokenClient& operator*() const { return *client_; }
    TokenClient* operator->() const { return client_.get(); }
    // Gives the connection back now; the lease then holds nothing.
    void reset();

   private:
    TokenClientPool* pool_ = nullptr;
    std::unique_ptr<TokenClient> client_;
    bool taken_ = true;  // false when every connection stayed busy; after client_, which it fills
  };

  explicit TokenClientPool(Endpoint server, ClientOptions options = {}, PoolOptions pool = {});
  ~TokenClientPool();  // closes every connection and waits for the reaper to end
  TokenClientPool(const TokenClientPool&) = delete;
  TokenClientPool& operator=(const TokenClientPool&) = delete;

  // A lease that waits up to PoolOptions::borrow_timeout for a connection.
  Lease lease() { return Lease(*this, Clock::now() + pool_.borrow_timeout); }

  // As TokenClient's calls, each on a connection leased for it.
  Status ping(std::chrono::microseconds* round_trip = nullptr);
  Status acquire(const TokenRequest& request, uint32_t* granted);
  Status acquire(const TokenRequest& request, TokenGrant* grant);
  Status acquire_batch(const std::vector<TokenRequest>& batch, std::vector<uint32_t>* granted);
  Status acquire_batch(const std::vector<TokenRequest>& batch, std::vector<TokenGrant>* grants);

  // Closes the idle connections now; the pool stays usable.
  void close();

  const Endpoint& endpoint() const { return server_; }
  // Connections open now, borrowed or idle.
  size_t open_connections() const;

 private:
  struct IdleClient {
    std::unique_ptr<TokenClient> client;  // connected
    Clock::time_point idle_since;
  };
  using Clients = std::vector<std::unique_ptr<TokenClient>>;

  // What a Lease takes and gives back; false when every connection stayed busy until `deadline`.
  bool borrow(Clock::time_point deadline, std::unique_ptr<TokenClient>* client);
  void give_back(std::unique_ptr<TokenClient> client);
  Status busy_error() const;
  // Whether the deny cache answers every entry, so that no connection is needed: entries the
  // server must answer wait for a connection, those it need not never do. Fills `grants` when so.
  bool answered_by_cache(EntryList entries, TokenGrant* grants);
  // Runs `call` on a leased client.
  template <typename Call>
  Status with_client(Call call);
  // Moves the idle clients whose time is up at `now` into *expired; needs `mutex_` held. The
  // caller closes them after releasing it.
  void take_expired(Clock::time_point now, Clients* expired);
  void reap_idle_clients();

  const Endpoint server_;
  const ClientOptions options_;
  const PoolOptions pool_;

  mutable std::mutex mutex_;
  std::condition_variable client_freed_;  // a client was given back or a place freed
  std::condition_variable reaper_wake_;   // the idle clients were closed, or the pool is stopping
  std::deque<IdleClient> idle_;           // under mutex_; oldest first, reused newest first
  size_t borrowed_ = 0;                   // under mutex_; idle_.size() + borrowed_ <= max
  bool stopping_ = false;                 // under mutex_; set once, by the destructor
  bool reaper_running_ = false;           // under mutex_; reaper_ has not ended yet
  // Under mutex_: runs reap_idle_clients while clients are idle; the thread that starts the next
  // one, or the destructor, joins it.
  std::thread reaper_;
};

}  // namespace token_client
