// TokenClient against the real binary: a grant and its detail, a request the server leaves
// unanswered, and a server restart between two calls.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <string>

#include "tests/support/server_process.h"
#include "token_client/TokenClient.h"

namespace token_client {
namespace {

using token_server::PortLock;
using token_server::ServerProcess;

constexpr std::chrono::milliseconds kShortReplyTimeout{500};

uint32_t acquire(TokenClient& client, const TokenRequest& request) {
  uint32_t granted = 999;
  Status answered = client.acquire(request, &granted);
  EXPECT_TRUE(answered.ok()) << answered.message();
  return granted;
}

// The request line's bytes are checked once, against the server's own parser (wire_test.cpp).
TEST(ClientEndToEnd, PingAndAGrantWithItsDetail) {
  ServerProcess server;
  ASSERT_TRUE(server.listening());
  TokenClient client(Endpoint{"127.0.0.1", kDefaultPort});
  ASSERT_TRUE(client.ping().ok());
  EXPECT_EQ(acquire(client, {"svc-\"a\"", 5, 10, 20}), 5u);
  EXPECT_TRUE(server.wait_for_stdout("message from client: SHAKE\r\n"));
  EXPECT_TRUE(
      server.wait_for_stdout("reply msg: {\"array\":[{\"accesskey\":\"svc-\\\"a\\\"\",\"tokens\":5,"
                             "\"remaining\":20,\"retry_after_ms\":0}]}\r\n"));
  // The new bucket stays full at 20; asked for 30, it is emptied and 10 more take 1 s at 10/s.
  TokenGrant grant;
  ASSERT_TRUE(client.acquire({"svc-\"a\"", 30, 10, 20}, &grant).ok());
  EXPECT_EQ(grant.tokens, 20u);
  EXPECT_EQ(grant.remaining, 0u);
  EXPECT_EQ(grant.retry_after, std::chrono::milliseconds(1000));
  EXPECT_FALSE(grant.cached);
}

TEST(ClientEndToEnd, RefusedRequestIsToldFromAFailedServer) {
  ServerProcess server;
  ASSERT_TRUE(server.listening());
  // Asked for detail, the server says why at once: a reply timeout of a minute is not waited out.
  ClientOptions patient;
  patient.reply_timeout = std::chrono::seconds(60);
  TokenClient told(Endpoint{"127.0.0.1", kDefaultPort}, patient);
  auto started = std::chrono::steady_clock::now();
  TokenGrant grant;
  Status refused = told.acquire({"new", 1, 0, 0}, &grant);
  EXPECT_LT(std::chrono::steady_clock::now() - started, patient.reply_timeout);
  EXPECT_EQ(refused.code(), StatusCode::kRefused);
  EXPECT_EQ(refused.message(),
            "request refused by 127.0.0.1:6666: invalid token request: entry 1: gen_rate must be "
            "positive for a new access key");
  EXPECT_TRUE(told.connected());
  EXPECT_EQ(acquire(told, {"new", 1, 1, 1}), 1u);

  // Not asked, it answers nothing; the handshake after the reply timeout tells.
  ClientOptions plain{std::chrono::milliseconds(1000), kShortReplyTimeout};
  plain.detail = false;
  TokenClient client(Endpoint{"127.0.0.1", kDefaultPort}, plain);
  uint32_t granted = 0;
  Status answered = client.acquire({"fresh", 1, 0, 0}, &granted);
  EXPECT_EQ(answered.code(), StatusCode::kRefused);
  EXPECT_EQ(answered.message(),
            "request refused by 127.0.0.1:6666: no reply within 500 ms, but the handshake after it "
            "was answered; the server's standard error says why");
  EXPECT_TRUE(server.wait_for_stderr("invalid token request: "));
  EXPECT_TRUE(client.connected());  // the server answered the handshake: nothing is pending
  EXPECT_EQ(acquire(client, {"fresh", 1, 1, 1}), 1u);
  EXPECT_TRUE(server.wait_for_stdout("message from client: SHAKE\r\n"));
}

TEST(ClientEndToEnd, ReconnectsOnceAfterTheServerRestarts) {
  PortLock lock;  // no other test takes the port between the two servers
  TokenClient client(Endpoint{"127.0.0.1", kDefaultPort});
  {
    ServerProcess first;
    ASSERT_TRUE(first.listening());
    EXPECT_EQ(acquire(client, {"restart", 5, 1, 5}), 5u);
    EXPECT_EQ(acquire(client, {"restart", 5, 1, 5}), 5u);
    EXPECT_LE(acquire(client, {"restart", 5, 1, 5}), 1u);
    ASSERT_EQ(first.stop(SIGTERM), 0);
  }
  EXPECT_TRUE(client.connected());  // it has not noticed yet
  ServerProcess second;
  ASSERT_TRUE(second.listening());
  // The old connection is dead; the request goes out again on a new one, to a fresh bucket.
  EXPECT_EQ(acquire(client, {"restart", 5, 1, 5}), 5u);
  ASSERT_EQ(second.stop(SIGTERM), 0);
  uint32_t granted = 0;
  EXPECT_EQ(client.acquire({"restart", 5, 1, 5}, &granted).code(), StatusCode::kConnectFailed);
}

}  // namespace
}  // namespace token_client
