// What the real binary writes: the trace of each exchange on standard output, and, merged with it
// as by `2>&1`, the lines of standard error in their place.
#include <gtest/gtest.h>

#include <string>

#include "protocol/token_connection.h"
#include "server/TokenServer.h"
#include "tests/support/server_process.h"
#include "tests/support/test_client.h"
#include "tests/support/token_request_text.h"

namespace token_server {
namespace {

// A handshake and a token exchange, each on a connection of its own, traced exactly; the read
// that finds the first peer gone shows an empty request.
TEST(Trace, EachExchangeIsTracedExactly) {
  ServerProcess server;
  ASSERT_TRUE(server.listening());
  {
    TestClient client(kServerPort);
    ASSERT_EQ(client.exchange("SHAKE\r\n"), "OK\r\n");
  }
  std::string expected =
      "listen on port 6666\n"
      "end: 7\n"
      "message from client: SHAKE\r\n\n"
      "reply msg: OK\r\n\n"
      "message from client: \n";
  ASSERT_TRUE(server.wait_for_stdout(expected));
  TestClient client(kServerPort);
  const std::string request_line = token_request({token_entry("traced", "3", "1", "5")}) + kCrLf;
  const std::string reply = token_reply({{"traced", 3}});
  ASSERT_EQ(client.exchange(request_line), reply);
  EXPECT_EQ(server.stdout_text(), expected + "end: " + std::to_string(request_line.size()) +
                                      "\nmessage from client: " + request_line +
                                      "\nreply msg: " + reply + "\n");
  EXPECT_EQ(server.stderr_text(), "");
}

// Merged as by `2>&1`, a refusal stands after the trace of its request; the trace of a
// half-received request shows while the server waits for the rest; a request is shown alone, and
// a line break inside it cannot start a forged line.
ServerProcess::Options merged_output() {
  ServerProcess::Options options;
  options.stderr_to_stdout = true;
  return options;
}

TEST(MergedOutput, RefusalFollowsTheTraceOfItsRequest) {
  ServerProcess server(merged_output());
  ASSERT_TRUE(server.listening());
  TestClient client(kServerPort);
  ASSERT_TRUE(client.send("{\"arr"));
  EXPECT_TRUE(server.wait_for_stdout("end: 0\n"));
  // A line break and a terminal's cursor-up, each escaped.
  const std::string rest = "ay\":[]}\nreply msg: forged\x1b[1A\rx\r\nSHAKE\r\n";
  ASSERT_TRUE(client.send(rest));
  ASSERT_EQ(client.read_line(), "OK\r\n");
  EXPECT_EQ(server.stdout_text(),
            "listen on port 6666\nend: 0\nend: 38\n"
            "message from client: {\"array\":[]}\\x0areply msg: forged\\x1b[1A\\x0dx\r\n\n" +
                kParseError + "message from client: SHAKE\r\n\nreply msg: OK\r\n\n");
}

TEST(MergedOutput, RequestTooLongIsReportedAfterItsTrace) {
  ServerProcess server(merged_output());
  ASSERT_TRUE(server.listening());
  TestClient client(kServerPort);
  const std::string held(kConnectionBufferSize, 'x');
  ASSERT_TRUE(client.send(held));
  EXPECT_TRUE(client.closed_within());
  const std::string ending =
      "message from client: " + held + "\nrequest longer than 16384 bytes: connection closed\n";
  ASSERT_TRUE(server.wait_for_stdout(ending));
  const std::string merged = server.stdout_text();
  EXPECT_EQ(merged.substr(merged.size() - ending.size()), ending);
}

}  // namespace
}  // namespace token_server
