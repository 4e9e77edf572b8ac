// The connection loop and the worker pool, on servers run inside the test process.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "server/TokenServer.h"
#include "tests/support/in_process_server.h"
#include "tests/support/stdout_capture.h"
#include "tests/support/test_client.h"

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

TEST_F(ConnectionLoop, TwoHandshakesInOnePacketGetTwoReplies) {
  TestClient client(server_.port());
  ASSERT_TRUE(client.send("SHAKE\r\nSHAKE\r\n"));
  EXPECT_EQ(client.read_line(), kOk);
  EXPECT_EQ(client.read_line(), kOk);
}

TEST_F(ConnectionLoop, HandshakeThenTokenRequestInOnePacket) {
  TestClient client(server_.port());
  ASSERT_TRUE(client.send(std::string("SHAKE\r\n") + kEmptyRequest));
  EXPECT_EQ(client.read_line(), kOk);
  EXPECT_EQ(client.read_line(), kEmptyReply);
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

TEST_F(ConnectionLoop, FreshRecordForEachConnection) {
  // A worker that served a half-sent request must not show it to its next connection.
  {
    TestClient first(server_.port());
    ASSERT_TRUE(first.send("SHAKE\r\nSHA"));
    EXPECT_EQ(first.read_line(), kOk);
  }
  TestClient second(server_.port());
  EXPECT_EQ(second.exchange("KE\r\nSHAKE\r\n"), kOk);  // "KE\r\n" alone is no handshake
  EXPECT_FALSE(second.has_data_within(milliseconds(100)));
}

TEST_F(ConnectionLoop, StopClosesServedAndQueuedConnections) {
  std::vector<std::unique_ptr<TestClient>> clients;
  for (int i = 0; i < 4; ++i) {  // two served, two queued
    clients.push_back(std::make_unique<TestClient>(server_.port()));
  }
  ASSERT_EQ(clients[0]->exchange("SHAKE\r\n"), kOk);
  server_.server().request_stop();
  for (auto& client : clients) EXPECT_TRUE(client->closed_within(std::chrono::seconds(2)));
}

TEST(WorkerPool, QueuedConnectionsAreServedInTheOrderAccepted) {
  StdoutCapture trace;
  InProcessServer server(1);
  auto busy = std::make_unique<TestClient>(server.port());
  ASSERT_EQ(busy->exchange("SHAKE\r\n"), kOk);  // holds the only worker
  std::vector<std::unique_ptr<TestClient>> waiting;
  for (int i = 0; i < 3; ++i) {
    waiting.push_back(std::make_unique<TestClient>(server.port()));
    ASSERT_TRUE(waiting.back()->send("SHAKE\r\n"));
  }
  EXPECT_FALSE(waiting[0]->has_data_within(milliseconds(200)));
  busy.reset();
  // Only the first in line is served while it stays connected.
  EXPECT_EQ(waiting[0]->read_line(), kOk);
  EXPECT_FALSE(waiting[1]->has_data_within(milliseconds(100)));
  waiting[0].reset();
  EXPECT_EQ(waiting[1]->read_line(), kOk);
  waiting[1].reset();
  EXPECT_EQ(waiting[2]->read_line(), kOk);
}

// A reply larger than the socket takes at once reaches a slow reader whole.
TEST(ReplyRequest, ReplyTakenInPartsArrivesWhole) {
  StdoutCapture trace;
  TokenServer server(0, 0);
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  int small = 2048;
  ::setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  auto conn = std::make_unique<token_connection>();
  conn->client_fd = fds[0];
  conn->bufsiz = kConnectionBufferSize;
  std::string reply = std::string(kConnectionBufferSize - 3, 'r') + "\r\n";
  reply.copy(conn->reply_buf, reply.size());
  conn->reply_len = static_cast<int>(reply.size());

  std::string received;
  std::thread reader([&] {
    char chunk[512];
    while (received.size() < reply.size()) {
      ssize_t n = ::recv(fds[1], chunk, sizeof chunk, 0);
      if (n > 0) received.append(chunk, static_cast<size_t>(n));
      std::this_thread::sleep_for(milliseconds(1));
    }
  });
  EXPECT_EQ(server.reply_request(conn.get()), static_cast<int>(reply.size()));
  reader.join();
  EXPECT_EQ(received, reply);
  ::close(fds[0]);
  ::close(fds[1]);
}

}  // namespace
