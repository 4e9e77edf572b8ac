// Token requests against the real binary: exact replies on the wire, and the refusals on standard
// error after which the connection goes on.
#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "protocol/token_connection.h"
#include "server/TokenServer.h"
#include "tests/support/server_process.h"
#include "tests/support/test_client.h"
#include "tests/support/token_request_text.h"

namespace token_server {

namespace {

using std::chrono::steady_clock;

class TokenRequestEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.listening());
    ASSERT_TRUE(client_.connected());
  }

  std::string exchange(const std::string& request_text) {
    return client_.exchange(request_text + kCrLf).value_or("<no reply>");
  }

  // Sends `refused` followed, in the same send, by a request that a new client `probe_key` is
  // granted 1 token by. The probe's reply must be the next line: the refused request got none,
  // and the bytes after it were kept as the next request.
  void expect_no_reply(const std::string& refused, const std::string& probe_key) {
    ASSERT_TRUE(client_.send(refused + kCrLf + token_request({token_entry(probe_key)}) + kCrLf));
    EXPECT_EQ(client_.read_line().value_or("<no reply>"), token_reply({{probe_key, 1}}))
        << refused.substr(0, 200);
  }

  ServerProcess server_;
  TestClient client_{kServerPort};
};

// A new client is granted its whole need; a known one the whole tokens its bucket holds. With
// 1 token/s a drained bucket holds about 2.5 tokens after 2.5 s. The attempt counts only when
// the timing bounds of the server's draw lie within [2, 3) tokens, whatever the machine's load.
TEST_F(TokenRequestEndToEnd, NewClientGetsItsNeedKnownClientItsWholeTokens) {
  constexpr int kAttempts = 3;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    const std::string held = "held" + std::to_string(attempt);
    const std::string fresh = "fresh" + std::to_string(attempt);
    // Created full with 4 tokens, then drained by the second entry.
    auto drain_sent = steady_clock::now();
    ASSERT_EQ(exchange(token_request(
                  {token_entry(held, "0", "1", "4"), token_entry(held, "4", "1", "4")})),
              token_reply({{held, 0}, {held, 4}}));
    auto drained = steady_clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    auto asked = steady_clock::now();
    std::string reply = exchange(
        token_request({token_entry(fresh, "5", "10", "20"), token_entry(held, "8", "2", "4")}));
    auto answered = steady_clock::now();
    std::chrono::duration<double> least = asked - drained;
    std::chrono::duration<double> most = answered - drain_sent;
    if (least.count() < 2.0 || most.count() >= 3.0) continue;
    EXPECT_EQ(reply, token_reply({{fresh, 5}, {held, 2}}));
    EXPECT_EQ(server_.stderr_text(), "");
    return;
  }
  FAIL() << "no attempt drew between 2 and 3 s after draining";
}

// Sent to a fallback server, a request creates a key new there empty, filling at its rate, where
// a full bucket would grant a burst on top of the key's own server; a known key is served as ever.
TEST_F(TokenRequestEndToEnd, FallbackRequestStartsANewKeyEmpty) {
  auto fallback = [](const std::string& request) {
    return "{\"fallback\":true," + request.substr(1);
  };
  ASSERT_EQ(exchange(token_request({token_entry("known", "1", "1", "4")})),
            token_reply({{"known", 1}}));
  auto created_before = steady_clock::now();
  ASSERT_EQ(exchange(fallback(token_request(
                {token_entry("moved", "3", "1", "4"), token_entry("known", "2", "1", "4")}))),
            token_reply({{"moved", 0}, {"known", 2}}));
  auto created_after = steady_clock::now();
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  auto asked = steady_clock::now();
  std::string reply = exchange(fallback(token_request({token_entry("moved", "4", "1", "4")})));
  auto answered = steady_clock::now();
  auto least = static_cast<unsigned>(std::chrono::duration<double>(asked - created_after).count());
  auto most =
      static_cast<unsigned>(std::chrono::duration<double>(answered - created_before).count());
  EXPECT_TRUE(reply == token_reply({{"moved", least}}) || reply == token_reply({{"moved", most}}))
      << reply;
}

// How members and whitespace are read is checked in the unit tests; here the entries of one key
// draw in order from its real bucket.
TEST_F(TokenRequestEndToEnd, EntriesAreGrantedInOrderUpToTheLongestRequest) {
  // A new client gets all 30 and leaves its bucket full at 5; the later entries draw from it.
  EXPECT_EQ(exchange(token_request(
                {token_entry("same", "30", "1", "5"), token_entry("same", "3", "1", "5"),
                 token_entry("same", "30", "1", "5"), token_entry("same", "1", "1", "5")})),
            token_reply({{"same", 30}, {"same", 3}, {"same", 2}, {"same", 0}}));

  // The longest request: 16384 bytes with its CR LF, whitespace before and after the object.
  const std::string object = token_request({token_entry("padded", "12", "1", "1")});
  const size_t padding = kConnectionBufferSize - kCrLf.size() - object.size();
  EXPECT_EQ(
      exchange(std::string(padding / 2, ' ') + object + std::string(padding - padding / 2, '\t')),
      token_reply({{"padded", 12}}));
  EXPECT_EQ(exchange(token_request({token_entry("after", "1")})), token_reply({{"after", 1}}));
  EXPECT_EQ(server_.stderr_text(), "");
}

// How keys are escaped both ways is checked in the unit tests; here the escaped form of a key
// creates the client, with a bucket of 1 token, that its raw form then draws from.
TEST_F(TokenRequestEndToEnd, EscapedAndRawFormsOfAKeyNameOneClient) {
  const std::string raw = "esc\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80";
  EXPECT_EQ(exchange(token_request({token_entry("esc\\u00e9\\u20AC\\ud83d\\ude00", "3")})),
            token_reply({{raw, 3}}));
  EXPECT_EQ(exchange(token_request({token_entry(raw, "3")})), token_reply({{raw, 1}}));
  EXPECT_EQ(server_.stderr_text(), "");
}

// The rows of each refusal are checked one by one in the unit tests; here text that is no JSON
// (the CR LF alone, and an object cut by a NUL) goes through the real binary.
TEST_F(TokenRequestEndToEnd, NulByteEndsTheRequestTextAndTextThatIsNotJsonGetsNoReply) {
  const std::string object = token_request({token_entry("nul", "2")});
  EXPECT_EQ(exchange(object + std::string(1, '\0') + "{not json"), token_reply({{"nul", 2}}));
  EXPECT_TRUE(server_.wait_for_stdout("message from client: " + object + "\n"));
  expect_no_reply(kNotJson.front(), "probe");
  expect_no_reply("{\"array\":[]" + std::string(1, '\0') + "}", "probe2");
  EXPECT_EQ(server_.stderr_text(), kParseError + kParseError);
}

// Each refused request names a new key in an entry that would be granted; a later request shows
// that key still new (granted its whole need of 7 despite a burst of 1), so nothing of it was.
TEST_F(TokenRequestEndToEnd, InvalidRequestsGrantNothing) {
  std::string expected_errors;
  std::set<std::string> classes_sent;
  const std::vector<Refusal> rows = refused_requests("key");
  for (size_t i = 0; i < rows.size(); ++i) {
    if (!classes_sent.insert(rows[i].problem).second) continue;
    const std::string key = "v" + std::to_string(i);
    expect_no_reply(refused_requests(key)[i].request, key + "probe");
    EXPECT_EQ(exchange(token_request({token_entry(key, "7")})), token_reply({{key, 7}}))
        << rows[i].problem;
    expected_errors += "invalid token request: " + rows[i].problem + "\n";
  }

  // A known client's bucket, full at 3, stays full after a refused request that named it.
  EXPECT_EQ(exchange(token_request({token_entry("full", "0", "1", "3")})),
            token_reply({{"full", 0}}));
  expect_no_reply(token_request({token_entry("full", "3", "1", "3"), token_entry("k", "-5")}),
                  "fullprobe");
  expected_errors += "invalid token request: entry 2: need_tokens is negative\n";
  EXPECT_EQ(exchange(token_request({token_entry("full", "3", "1", "3")})),
            token_reply({{"full", 3}}));

  // Rates that are not positive are fine for a known key and one an earlier entry created.
  EXPECT_EQ(exchange(token_request({token_entry("full", "0", "-2147483648", "0"),
                                    token_entry("born", "1", "1", "1"),
                                    token_entry("born", "0", "0", "-2147483648")})),
            token_reply({{"full", 0}, {"born", 1}, {"born", 0}}));
  EXPECT_EQ(server_.stderr_text(), expected_errors);
}

// A request with "detail": true is told what is left and when to come back, and hears a refusal;
// the same request without it gets the plain reply.
TEST_F(TokenRequestEndToEnd, DetailedRequestsAreToldWhatIsLeftAndWhenToComeBack) {
  // The new bucket stays full at 4; the second entry empties it and waits 4 s for a full one.
  const std::string entries =
      token_entry("told", "1", "1", "4") + "," + token_entry("told", "10", "1", "4");
  EXPECT_EQ(exchange("{\"array\":[" + entries + "],\"detail\":true}"),
            "{\"array\":[{\"accesskey\":\"told\",\"tokens\":1,\"remaining\":4,"
            "\"retry_after_ms\":0},{\"accesskey\":\"told\",\"tokens\":4,\"remaining\":0,"
            "\"retry_after_ms\":4000}]}\r\n");
  EXPECT_EQ(exchange("{\"array\":[" + entries + "],\"detail\":false}"),
            token_reply({{"told", 0}, {"told", 0}}));

  const std::string error_reply =
      "{\"error\":\"invalid token request: entry 1: need_tokens is negative\"}\r\n";
  EXPECT_EQ(exchange("{\"detail\":true,\"array\":[" + token_entry("k", "-1") + "]}"), error_reply);
  EXPECT_TRUE(server_.wait_for_stdout("reply msg: " + error_reply + "\n"));
  // Text that is no JSON cannot ask for anything.
  expect_no_reply("{\"detail\":true,", "probe");
  EXPECT_EQ(server_.stderr_text(),
            "invalid token request: entry 1: need_tokens is negative\n" + kParseError);
}

}  // namespace

}  // namespace token_server
