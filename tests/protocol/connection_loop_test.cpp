// The connection loop: requests framed, dispatched and answered in order on one connection, on a
// server run inside the test process or on a record over a socket pair; replies sent in parts or
// not at all; token requests that outgrow the memory a request's parser and writer start with.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "harness/in_process_server.h"
#include "server/TokenServer.h"
#include "tests/support/paired_connection.h"
#include "tests/support/stdout_capture.h"
#include "tests/support/test_client.h"
#include "tests/support/token_request_text.h"

namespace token_server {
namespace {

using std::chrono::milliseconds;

constexpr char kOk[] = "OK\r\n";
constexpr char kEmptyRequest[] = "{\"array\":[]}\r\n";
constexpr char kEmptyReply[] = "{\"array\":[]}\r\n";

class ConnectionLoop : public ::testing::Test {
 protected:
  StdoutCapture trace_;
  InProcessServer server_{2};
};

TEST_F(ConnectionLoop, RequestsSharingAPacketAreAnsweredInOrder) {
  const std::pair<std::string, std::string> kPacketAndReplies[] = {
      {"SHAKE\r\nSHAKE\r\n", std::string(kOk) + kOk},
      {std::string("SHAKE\r\n") + kEmptyRequest, std::string(kOk) + kEmptyReply},
  };
  for (const auto& [packet, replies] : kPacketAndReplies) {
    TestClient client(server_.port());
    ASSERT_TRUE(client.send(packet));
    std::string received = client.read_line().value_or("");
    received += client.read_line().value_or("");
    EXPECT_EQ(received, replies);
  }
}

TEST_F(ConnectionLoop, NearMissesOfTheHeartbeatAreTokenRequests) {
  TestClient client(server_.port());
  // Each is a token request that is not JSON: no reply, and the connection goes on.
  for (const char* near_miss :
       {"SHAKE \r\n", "shake\r\n", "SHAKEX\r\n", " SHAKE\r\n", "SHAK\r\n"}) {
    ASSERT_TRUE(client.send(near_miss));
    ASSERT_TRUE(client.send("SHAKE\r\n"));
    EXPECT_EQ(client.read_line(), kOk) << near_miss;
  }
}

TEST_F(ConnectionLoop, RequestSplitByteByByteIsAnswered) {
  TestClient client(server_.port());
  for (char byte : std::string("SHAKE\r\n")) {
    ASSERT_TRUE(client.send(std::string(1, byte)));
    std::this_thread::sleep_for(milliseconds(2));
  }
  EXPECT_EQ(client.read_line(), kOk);
}

// A reply larger than the socket takes at once reaches a slow reader whole.
TEST(ReplyRequest, ReplyTakenInPartsArrivesWhole) {
  StdoutCapture trace;
  TokenServer server(0, 0);
  PairedConnection pair;
  token_connection* conn = pair.conn();
  int small = 2048;
  ::setsockopt(conn->client_fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  std::string reply = std::string(kConnectionBufferSize - 3, 'r') + "\r\n";
  reply.copy(conn->reply_buf, reply.size());
  conn->reply_len = static_cast<int>(reply.size());

  std::string received;
  std::thread reader([&] {
    while (received.size() < reply.size()) {
      received += pair.peer_receives();
      std::this_thread::sleep_for(milliseconds(1));
    }
  });
  EXPECT_EQ(server.reply_request(conn), TokenServer::ReplyResult::kSent);
  reader.join();
  EXPECT_EQ(received, reply);
}

// Once a send fails, the requests held after it are neither parsed nor granted: their tokens
// would be drawn for nobody.
TEST(ReplyRequest, FailedSendEndsTheConnection) {
  constexpr int kPipelined = 100;
  StdoutCapture trace;
  TokenServer server(0, 0);
  ASSERT_EQ(server.grant_tokens("unheard", 0, 1, kPipelined), 0);  // a new key: a full bucket
  PairedConnection pair;
  std::string requests;
  for (int i = 0; i < kPipelined; ++i) {
    requests += token_request({token_entry("unheard", "1", "1", std::to_string(kPipelined))});
    requests += "\r\n";
  }
  ASSERT_TRUE(pair.peer_sends(requests));
  pair.close_peer();  // the requests stay readable; a reply to them fails
  server.process_connection(pair.conn());
  // The first request drew one token; at 1 token/s the rest are still there.
  EXPECT_GE(server.grant_tokens("unheard", kPipelined, 1, kPipelined), kPipelined - 1);
}

class LargeTokenRequest : public ::testing::Test {
 protected:
  // Sends `text` and its CR LF through serve_request; returns the reply, empty when there is none.
  std::string answer(const std::string& text) {
    EXPECT_TRUE(pair_.peer_sends(text + "\r\n"));
    EXPECT_TRUE(server_.serve_request(pair_.conn()));
    return pair_.peer_receives();
  }

  StdoutCapture trace_;       // the requests' trace lines, kept off the test log
  TokenServer server_{0, 0};  // no workers: serve_request is called directly
  PairedConnection pair_;
};

TEST_F(LargeTokenRequest, LargestRequestOfLongestKeysIsAnsweredWhole) {
  std::vector<std::string> entries;
  std::vector<std::pair<std::string, unsigned>> grants;
  for (int i = 100000;; ++i) {
    std::string key = std::string(kMaxAccessKeyLength - 6, 'k') + std::to_string(i);
    entries.push_back(token_entry(key, "3", "5", "7"));
    if (token_request(entries).size() + 2 > static_cast<size_t>(kConnectionBufferSize)) break;
    grants.push_back({key, 3});
  }
  entries.pop_back();
  ASSERT_GT(grants.size(), 100u);
  EXPECT_EQ(answer(token_request(entries)), token_reply(grants));
}

TEST_F(LargeTokenRequest, DeepestNestingGetsNoReplyAndTheNextRequestIsAnswered) {
  const size_t depth = (kConnectionBufferSize - 2) / 2;
  EXPECT_EQ(answer(std::string(depth, '[') + std::string(depth, ']')), "");
  EXPECT_EQ(answer(std::string(depth * 2, '[')), "");
  EXPECT_EQ(answer(token_request({token_entry("after")})), token_reply({{"after", 1}}));
}

}  // namespace
}  // namespace token_server
