// TokenClient against an in-process server and against stand-ins that fail on purpose.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness/in_process_server.h"
#include "tests/client/scripted_server.h"
#include "token_client/TokenClient.h"

namespace token_client {
namespace {

using token_server::InProcessServer;

constexpr int kTestWorkers = 4;
constexpr std::chrono::milliseconds kShortReplyTimeout{300};
constexpr char kGoodReply[] = "{\"array\":[{\"accesskey\":\"k\",\"tokens\":1}]}\r\n";

ClientOptions short_timeouts() {
  ClientOptions options;
  options.reply_timeout = kShortReplyTimeout;
  return options;
}

Endpoint loopback(uint16_t port) { return Endpoint{"127.0.0.1", port}; }

class TokenClientTest : public ::testing::Test {
 protected:
  uint32_t acquire(const TokenRequest& request) {
    uint32_t granted = 999;
    Status answered = client_.acquire(request, &granted);
    EXPECT_TRUE(answered.ok()) << answered.message();
    return granted;
  }

  InProcessServer server_{kTestWorkers};
  TokenClient client_{loopback(server_.port()), short_timeouts()};
};

TEST_F(TokenClientTest, PingIsAnsweredOnTheSameConnection) {
  std::chrono::microseconds round_trip{-1};
  ASSERT_TRUE(client_.ping(&round_trip).ok());
  EXPECT_GE(round_trip.count(), 0);
  EXPECT_TRUE(client_.connected());
  EXPECT_TRUE(client_.ping().ok());
}

TEST_F(TokenClientTest, NewKeyGetsItsNeedThenDrawsFromAFullBucket) {
  EXPECT_EQ(acquire({"svc-a", 7, 1, 5}), 7u);  // a new key's need is granted, not drawn
  EXPECT_EQ(acquire({"svc-a", 7, 1, 5}), 5u);
  EXPECT_LE(acquire({"svc-a", 5, 1, 5}), 1u);  // at 1 token/s, at most one refilled meanwhile
}

TEST_F(TokenClientTest, BatchIsAnsweredInOrderAndGrantedEntryByEntry) {
  std::vector<TokenRequest> batch = {{"a", 3, 1, 5}, {"b", 1, 1, 5}, {"a", 4, 1, 5},
                                     {"c", 0, 1, 5}, {"a", 4, 1, 5}, {"d", 2, 1, 2}};
  std::vector<uint32_t> granted;
  ASSERT_TRUE(client_.acquire_batch(batch, &granted).ok());
  // The second "a" draws 4 of the new, full bucket's 5; the third gets the 1 left.
  EXPECT_EQ(granted, (std::vector<uint32_t>{3, 1, 4, 0, 1, 2}));
  ASSERT_TRUE(client_.acquire_batch({}, &granted).ok());
  EXPECT_TRUE(granted.empty());
}

TEST_F(TokenClientTest, InvalidEntrySendsNothing) {
  std::vector<uint32_t> granted;
  Status answered = client_.acquire_batch(
      {{"fine", 1, 1, 1}, {std::string(kMaxAccessKeyLength + 1, 'k'), 1, 1, 1}}, &granted);
  EXPECT_EQ(answered.code(), StatusCode::kInvalidArgument);
  EXPECT_FALSE(client_.connected());
  EXPECT_FALSE(server_.server().is_known_client("fine"));
}

TEST_F(TokenClientTest, RefusedRequestKeepsTheConnection) {
  uint32_t granted = 0;
  // A new key with rate 0 is a request the server refuses, saying why.
  Status answered = client_.acquire({"new", 1, 0, 5}, &granted);
  EXPECT_EQ(answered.code(), StatusCode::kRefused);
  EXPECT_EQ(answered.message(), "request refused by 127.0.0.1:" + std::to_string(server_.port()) +
                                    ": invalid token request: entry 1: gen_rate must be positive "
                                    "for a new access key");
  EXPECT_TRUE(client_.connected());
  EXPECT_EQ(acquire({"new", 2, 1, 5}), 2u);
}

TEST(TokenClientFailures, SilentServerTimesOut) {
  ScriptedServer silent({"never", "never"}, /*lines_before_reply=*/1000);
  uint16_t port = silent.port();
  TokenClient client(loopback(port), short_timeouts());
  EXPECT_EQ(client.ping().code(), StatusCode::kTimeout);
  uint32_t granted = 0;
  Status answered = client.acquire({"k", 1, 1, 1}, &granted);
  EXPECT_EQ(answered.code(), StatusCode::kTimeout);
  EXPECT_EQ(answered.message(), "no reply from 127.0.0.1:" + std::to_string(port) +
                                    " within 300 ms, nor to the handshake sent then");
  EXPECT_FALSE(client.connected());
}

TEST(TokenClientFailures, LateReplyIsTakenAndTheConnectionClosed) {
  // Answers only once the handshake has followed the request: the reply, then the handshake's.
  ScriptedServer server({std::string(kGoodReply) + "OK\r\n"}, 2);
  TokenClient client(loopback(server.port()), short_timeouts());
  uint32_t granted = 0;
  Status answered = client.acquire({"k", 1, 1, 1}, &granted);
  ASSERT_TRUE(answered.ok()) << answered.message();
  EXPECT_EQ(granted, 1u);
  EXPECT_FALSE(client.connected());
}

TEST(TokenClientFailures, RefusedConnectionSendsNothing) {
  uint16_t closed_port = 0;
  {
    ScriptedServer gone({});
    closed_port = gone.port();
  }
  TokenClient client(loopback(closed_port), short_timeouts());
  Status answered = client.ping();
  EXPECT_EQ(answered.code(), StatusCode::kConnectFailed);
  EXPECT_EQ(answered.message(),
            "connect 127.0.0.1:" + std::to_string(closed_port) + ": Connection refused");
}

TEST(TokenClientFailures, RequestIsSentAgainOnlyWhenTheServerNeverReadIt) {
  struct Case {
    const char* what;
    std::vector<std::string> script;
    StatusCode code;
    int connections;
  };
  const Case cases[] = {
      // Read, then closed without a reply (say, just before the deadline): it may have been
      // granted, so it is not sent again.
      {"closed after reading", {"", kGoodReply}, StatusCode::kConnectionLost, 1},
      // Closed while idle, before the call: found before sending, and replaced.
      {"closed while idle", {ScriptedServer::kCloseAtOnce, kGoodReply}, StatusCode::kOk, 2},
  };
  for (const Case& c : cases) {
    ScriptedServer server(c.script);
    TokenClient client(loopback(server.port()), short_timeouts());
    if (c.script[0] == ScriptedServer::kCloseAtOnce) {
      ASSERT_TRUE(client.connect().ok());
      ASSERT_TRUE(wait_until([&] { return server.connections() == 1; }));
      std::this_thread::sleep_for(std::chrono::milliseconds(100));  // for its FIN to arrive
    }
    uint32_t granted = 0;
    EXPECT_EQ(client.acquire({"k", 1, 1, 1}, &granted).code(), c.code) << c.what;
    EXPECT_EQ(server.connections(), c.connections) << c.what;
  }
}

TEST(TokenClientFailures, ReplyForAnotherKeyIsBadAndClosesTheConnection) {
  ScriptedServer server({"{\"array\":[{\"accesskey\":\"x\",\"tokens\":1}]}\r\n", "NOT OK\r\n"});
  TokenClient client(loopback(server.port()), short_timeouts());
  uint32_t granted = 0;
  EXPECT_EQ(client.acquire({"k", 1, 1, 1}, &granted).code(), StatusCode::kBadReply);
  EXPECT_FALSE(client.connected());
  EXPECT_EQ(client.ping().code(), StatusCode::kBadReply);
}

}  // namespace
}  // namespace token_client
