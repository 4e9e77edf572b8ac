// TokenClientPool against an in-process server: many threads share a few connections, a caller
// waits for a borrowed one only so long, a lease carries calls in a row, and idle connections are
// given back, by the reaper or at close().
#include <gtest/gtest.h>

#include <cstdio>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "harness/in_process_server.h"
#include "tests/client/scripted_server.h"
#include "token_client/TokenClientPool.h"

namespace token_client {
namespace {

using token_server::InProcessServer;

constexpr int kTestWorkers = 4;

Endpoint loopback(uint16_t port) { return Endpoint{"127.0.0.1", port}; }

TEST(TokenClientPool, ManyThreadsShareAtMostItsConnections) {
  constexpr int kConnections = 2;
  constexpr int kThreads = 16;
  constexpr int kCallsPerThread = 20;
  // Far more than a key's calls draw, so every call gets its whole need. A new bucket holds what
  // its rate has earned since the clock's epoch (the host's boot), so the rate fills it at once.
  constexpr int32_t kBurst = 1000;
  constexpr int32_t kRate = kBurst;
  InProcessServer server(kTestWorkers);
  CountingRelay relay(server.port());
  PoolOptions options;
  options.max_connections = kConnections;
  options.idle_timeout = std::chrono::seconds(30);
  options.borrow_timeout = kWaitLimit;
  TokenClientPool pool(loopback(relay.port()), ClientOptions{}, options);

  std::vector<int> wrong_grants(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      // Each thread's key and need differ, so a reply handed to the wrong thread shows.
      TokenRequest request{"pooled-" + std::to_string(t), t % 3 + 1, kRate, kBurst};
      for (int call = 0; call < kCallsPerThread; ++call) {
        uint32_t granted = 0;
        Status answered = pool.acquire(request, &granted);
        if (!answered.ok() || granted != static_cast<uint32_t>(request.need_tokens)) {
          ++wrong_grants[t];
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  EXPECT_EQ(wrong_grants, std::vector<int>(kThreads, 0));
  std::printf(
      "%d threads, %d calls each, through a pool of %d: %d wrong grants, at most %d "
      "connections open at once\n",
      kThreads, kCallsPerThread, kConnections,
      std::accumulate(wrong_grants.begin(), wrong_grants.end(), 0), relay.most_open());
  EXPECT_LE(relay.most_open(), kConnections);
  EXPECT_GE(relay.open_now(), 1);  // kept open between calls
}

TEST(TokenClientPool, CallerWaitsForABorrowedConnectionOnlySoLong) {
  InProcessServer server(kTestWorkers);
  PoolOptions options;
  options.max_connections = 1;
  options.borrow_timeout = std::chrono::milliseconds(100);
  ClientOptions slow_reply;
  slow_reply.reply_timeout = std::chrono::seconds(1);
  slow_reply.detail = false;  // so that the server answers a refusal with nothing
  TokenClientPool pool(loopback(server.port()), slow_reply, options);
  // A new key with rate 0 gets no reply: its call holds the one connection for the reply timeout.
  std::thread holder([&] {
    uint32_t granted = 0;
    EXPECT_EQ(pool.acquire({"unanswered", 1, 0, 5}, &granted).code(), StatusCode::kRefused);
  });
  ASSERT_TRUE(wait_until([&] { return pool.open_connections() == 1; }));
  Status waited = pool.ping();
  EXPECT_EQ(waited.code(), StatusCode::kConnectFailed);
  EXPECT_EQ(waited.message(), "connect 127.0.0.1:" + std::to_string(server.port()) +
                                  ": all 1 connections stayed busy for 100 ms");
  holder.join();
  EXPECT_TRUE(pool.ping().ok());
}

TEST(TokenClientPool, IdleConnectionsAreClosedWithoutFurtherCallsOrAtClose) {
  InProcessServer server(kTestWorkers);
  CountingRelay relay(server.port());
  PoolOptions options;
  options.idle_timeout = std::chrono::milliseconds(200);
  TokenClientPool pool(loopback(relay.port()), ClientOptions{}, options);
  ASSERT_TRUE(pool.ping().ok());
  EXPECT_TRUE(wait_until([&] { return relay.open_now() == 0; }));
  EXPECT_EQ(relay.most_open(), 1);
  EXPECT_EQ(pool.open_connections(), 0u);
  // A lease carries calls in a row on one connection, and gives it back; close() closes it at
  // once, and the pool stays usable, its reaper started again.
  {
    TokenClientPool::Lease lease = pool.lease();
    ASSERT_TRUE(lease) << lease.status().message();
    EXPECT_TRUE(lease->ping().ok() && lease->ping().ok());
    EXPECT_EQ(relay.open_now(), 1);
  }
  EXPECT_EQ(pool.open_connections(), 1u);
  pool.close();
  EXPECT_EQ(pool.open_connections(), 0u);
  ASSERT_TRUE(pool.ping().ok());
  EXPECT_TRUE(wait_until([&] { return relay.open_now() == 0; }));
}

}  // namespace
}  // namespace token_client
