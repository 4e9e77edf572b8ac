// Request framing: finding the end of a request, and reading requests from a socket in any split,
// each after the one before is dropped.
#include "protocol/framing.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "protocol/token_connection.h"
#include "server/TokenServer.h"
#include "tests/support/paired_connection.h"
#include "tests/support/stdout_capture.h"

namespace token_server {

namespace {

int request_end(std::string bytes) {
  return TokenServer::reach_request_end(bytes.data(), static_cast<int>(bytes.size()));
}

TEST(ReachRequestEnd, CountsUpToAndIncludingTheFirstCrLf) {
  struct Case {
    std::string bytes;
    int expected;
  } cases[] = {
      {"SHAKE\r\n", 7}, {"\r\n", 2},    {"a\r\nb\r\n", 3}, {"ab\r", 0},
      {"ab\n\r", 0},    {"a\rb\nc", 0}, {"\r\r\n", 3},     {std::string("a\0b\r\n", 5), 5},
      {"", 0},          {"\r", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(request_end(c.bytes), c.expected) << c.bytes;
  EXPECT_EQ(TokenServer::reach_request_end(nullptr, 10), 0);
  // A CR LF beyond the given length does not count.
  char held[] = "abc\r\n";
  EXPECT_EQ(TokenServer::reach_request_end(held, 4), 0);
  EXPECT_EQ(TokenServer::reach_request_end(held, 5), 5);
}

// A connection record fed through one end of a socket pair.
class ReadRequest : public ::testing::Test {
 protected:
  void peer_sends(const std::string& bytes) { ASSERT_TRUE(pair_.peer_sends(bytes)); }
  void peer_closes() { pair_.close_peer(); }
  int held() const { return conn_->nread - conn_->req_start; }
  // Reads one request and drops it as its handler would; returns its length.
  int next_request() {
    int length = server_.getreq(conn_);
    if (length > 0) drop_handled_request(conn_);
    return length;
  }

  // The reads' trace lines: what is out, and then what is still pending.
  std::string trace() {
    conn_->trace.flush();
    return trace_.text();
  }

  StdoutCapture trace_;       // the reads' trace lines, kept off the test log
  TokenServer server_{0, 0};  // no workers, never listens: only its reading operations are used
  PairedConnection pair_;
  token_connection* conn_ = pair_.conn();
};

TEST_F(ReadRequest, OneReceiveTracesTheEndAndTheMessage) {
  peer_sends("SHAKE\r\n");
  EXPECT_EQ(server_.getreq(conn_), 7);
  EXPECT_EQ(conn_->req_len, 7);
  EXPECT_EQ(trace(), "end: 7\nmessage from client: SHAKE\r\n\n");
}

TEST_F(ReadRequest, RequestSplitAfterItsCrIsJoined) {
  peer_sends("abc\r");
  std::thread later([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    peer_sends("\n");
  });
  EXPECT_EQ(server_.getreq(conn_), 5);
  later.join();
  EXPECT_EQ(trace(), "end: 0\nend: 5\nmessage from client: abc\r\n\n");
}

TEST_F(ReadRequest, SecondRequestOfAPacketNeedsNoReceive) {
  peer_sends("one\r\ntwo\r\n");
  EXPECT_EQ(next_request(), 5);
  peer_closes();  // a receive now would end the read with 0
  EXPECT_EQ(next_request(), 5);
  EXPECT_EQ(held(), 0);
  EXPECT_EQ(trace(),
            "end: 5\nmessage from client: one\r\n\n"
            "message from client: two\r\n\n");
}

// The part of a request held after a handled one moves to the front, and the rest joins it there.
TEST_F(ReadRequest, RequestBegunAfterAHandledOneIsJoined) {
  peer_sends("one\r\ntw");
  EXPECT_EQ(next_request(), 5);
  peer_sends("o\r\n");
  EXPECT_EQ(server_.getreq(conn_), 5);
  EXPECT_EQ(std::string(conn_->req_buf + conn_->req_start, 5), "two\r\n");
  EXPECT_EQ(trace(),
            "end: 5\nmessage from client: one\r\n\nend: 5\nmessage from client: two\r\n\n");
}

TEST_F(ReadRequest, NulInsideARequestDoesNotEndItButCutsTheTrace) {
  peer_sends(std::string("ab\0cd\r\n", 7));
  EXPECT_EQ(server_.getreq(conn_), 7);
  EXPECT_EQ(trace(), "end: 7\nmessage from client: ab\n");
}

TEST_F(ReadRequest, FullBufferWithoutCrLfEndsTheConnection) {
  peer_sends(std::string(kConnectionBufferSize - 1, 'x') + "\r");
  EXPECT_EQ(next_request(), 0);
  EXPECT_EQ(conn_->nread, kConnectionBufferSize);
}

TEST_F(ReadRequest, RequestFillingTheWholeBufferIsAccepted) {
  peer_sends(std::string(kConnectionBufferSize - 2, 'x') + "\r\n");
  EXPECT_EQ(next_request(), kConnectionBufferSize);
  EXPECT_EQ(held(), 0);
}

TEST_F(ReadRequest, PeerClosingMidRequestEndsTheRead) {
  peer_sends("partial");
  peer_closes();
  EXPECT_EQ(next_request(), 0);
}

}  // namespace

}  // namespace token_server
