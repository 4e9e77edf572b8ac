// Token requests against the real binary: exact replies on the wire, the trace on standard output,
// and the refusals on standard error after which the connection goes on.
#include <gtest/gtest.h>

#include <chrono>
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

const std::string kCrLf = "\r\n";
const std::string kParseError = "json parse error\n";

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

TEST_F(TokenRequestEndToEnd, OneExchangeIsTracedOnStandardOutput) {
  const std::string request_line = token_request({token_entry("traced", "3", "1", "5")}) + kCrLf;
  const std::string reply = token_reply({{"traced", 3}});
  ASSERT_EQ(client_.exchange(request_line), reply);
  EXPECT_EQ(server_.stdout_text(),
            "listen on port 6666\nend: " + std::to_string(request_line.size()) +
                "\nmessage from client: " + request_line + "\nreply msg: " + reply + "\n");
  EXPECT_EQ(server_.stderr_text(), "");
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
  const std::string rest = "ay\":[]}\nreply msg: forged\rx\r\nSHAKE\r\n";
  ASSERT_TRUE(client.send(rest));
  ASSERT_EQ(client.read_line(), "OK\r\n");
  EXPECT_EQ(server.stdout_text(),
            "listen on port 6666\nend: 0\nend: 34\n"
            "message from client: {\"array\":[]}\\x0areply msg: forged\\x0dx\r\n\n" +
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

TEST_F(TokenRequestEndToEnd, EntriesAreGrantedInOrderWhateverTheirShape) {
  // A new client gets all 30 and leaves its bucket full at 5; the later entries draw from it.
  EXPECT_EQ(exchange(token_request(
                {token_entry("same", "30", "1", "5"), token_entry("same", "3", "1", "5"),
                 token_entry("same", "30", "1", "5"), token_entry("same", "1", "1", "5")})),
            token_reply({{"same", 30}, {"same", 3}, {"same", 2}, {"same", 0}}));

  const std::string reordered =
      "{\"more\":{\"a\":[1,2]},\"burst_size\":9,\"gen_rate\":1,\"need_tokens\":4,"
      "\"accesskey\":\"reordered\"}";
  const std::string duplicated =
      "{\"accesskey\":\"dup\",\"need_tokens\":2,\"gen_rate\":1,\"burst_size\":9,"
      "\"need_tokens\":7,\"accesskey\":\"other\",\"burst_size\":-1}";
  const std::string escaped_names =
      "{\"\\u0061ccesskey\":\"esc\",\"need\\u005ftokens\":6,\"gen_r\\u0061te\":1,"
      "\"burst\\u005Fsize\":9}";
  EXPECT_EQ(exchange("{\"first\":0,\"\\u0061rray\":[" + reordered + "," + duplicated + "," +
                     escaped_names + "],\"array\":null}"),
            token_reply({{"reordered", 4}, {"dup", 2}, {"esc", 6}}));
  // "other" was never a client: it gets its whole need as a new one.
  EXPECT_EQ(exchange(token_request({token_entry("other", "11", "1", "1")})),
            token_reply({{"other", 11}}));

  EXPECT_EQ(exchange("{\"array\":[]}"), "{\"array\":[]}\r\n");
  EXPECT_EQ(exchange(" \t\r{ \"array\"\n:[ \r" + token_entry("spaced", "1") + "\t]\n} \r"),
            token_reply({{"spaced", 1}}));

  // The longest request: 16384 bytes with its CR LF, whitespace before and after the object.
  const std::string object = token_request({token_entry("padded", "12", "1", "1")});
  const size_t padding = kConnectionBufferSize - kCrLf.size() - object.size();
  EXPECT_EQ(
      exchange(std::string(padding / 2, ' ') + object + std::string(padding - padding / 2, '\t')),
      token_reply({{"padded", 12}}));
  EXPECT_EQ(exchange(token_request({token_entry("after", "1")})), token_reply({{"after", 1}}));
  EXPECT_EQ(server_.stderr_text(), "");
}

TEST_F(TokenRequestEndToEnd, AccessKeysComeBackEscaped) {
  std::vector<std::string> entries;
  std::vector<std::pair<std::string, unsigned>> grants;
  for (const EscapedAccessKey& key : kEscapedAccessKeys) {
    entries.push_back(token_entry(key.in_request, "3"));
    grants.emplace_back(key.in_reply, 3);
  }
  entries.push_back(token_entry(std::string(29, 'k'), "3"));
  grants.emplace_back(std::string(29, 'k'), 3);
  EXPECT_EQ(exchange(token_request(entries)), token_reply(grants));
  // Escaped and raw forms name one client, known now, with a bucket of 1 token.
  EXPECT_EQ(exchange(token_request({token_entry("esc\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", "3")})),
            token_reply({{"esc\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", 1}}));
  EXPECT_EQ(server_.stderr_text(), "");
}

TEST_F(TokenRequestEndToEnd, NulByteEndsTheRequestText) {
  const std::string object = token_request({token_entry("nul", "2")});
  EXPECT_EQ(exchange(object + std::string(1, '\0') + "{not json"), token_reply({{"nul", 2}}));
  EXPECT_TRUE(server_.wait_for_stdout("message from client: " + object + "\n"));
  // Cut inside the object, the text is no JSON value.
  expect_no_reply("{\"array\":[]" + std::string(1, '\0') + "}", "probe");
  EXPECT_EQ(server_.stderr_text(), kParseError);
}

TEST_F(TokenRequestEndToEnd, TextThatIsNotJsonGetsNoReply) {
  const std::vector<std::string> kNotJson = {
      "",
      " \t \r",
      "\n",
      "{\"array\":[]}{\"array\":[]}",
      "{\"array\":[]} {\"array\":[]}",
      "{\"array\":[]} x",
      "{\"array\":[{\"accesskey\":\"\\x\",\"need_tokens\":1,\"gen_rate\":1,\"burst_size\":1}]}",
      "{\"array\":[{\"accesskey\":\"\\u00G9\",\"need_tokens\":1,\"gen_rate\":1,\"burst_size\":1}]}",
      "{\"array\":[1,]}",
      std::string(1, '\0') + "{\"array\":[]}",
      std::string(kConnectionBufferSize - kCrLf.size(), '['),
  };
  int probe = 0;
  for (const std::string& text : kNotJson) expect_no_reply(text, "p" + std::to_string(probe++));
  // The CR LF alone, sent by itself.
  ASSERT_TRUE(client_.send(kCrLf));
  EXPECT_EQ(exchange("{\"array\":[]}"), "{\"array\":[]}\r\n");

  std::string expected;
  for (size_t i = 0; i <= kNotJson.size(); ++i) expected += kParseError;
  EXPECT_EQ(server_.stderr_text(), expected);
}

// Each refused request has a valid first entry for a new key; a later request shows that key
// still new (granted its whole need of 7 despite a burst of 1), so nothing of it was granted.
TEST_F(TokenRequestEndToEnd, InvalidRequestsGrantNothing) {
  const std::string kMembersBut = "\"accesskey\":\"k\",\"need_tokens\":1,\"gen_rate\":1";
  const struct {
    std::string second_entry;
    std::string problem;
  } kInvalidEntries[] = {
      {"5", "entry 2: not an object"},
      {"{\"need_tokens\":1,\"gen_rate\":1,\"burst_size\":1}", "entry 2: accesskey missing"},
      {"{\"accesskey\":7,\"need_tokens\":1,\"gen_rate\":1,\"burst_size\":1}",
       "entry 2: accesskey must be a string"},
      {token_entry(std::string(30, 'k')), "entry 2: accesskey longer than 29 bytes"},
      {token_entry("esc\\u0000" + std::string(95, 'Z')), "entry 2: accesskey holds a NUL byte"},
      {"{" + kMembersBut + "}", "entry 2: burst_size missing"},
      {token_entry("k", "5.0"), "entry 2: need_tokens must be a 32-bit signed integer"},
      {token_entry("k", "1e3"), "entry 2: need_tokens must be a 32-bit signed integer"},
      {token_entry("k", "\"5\""), "entry 2: need_tokens must be a 32-bit signed integer"},
      {token_entry("k", "1", "2147483648"), "entry 2: gen_rate must be a 32-bit signed integer"},
      {token_entry("k", "1", "1", "-2147483649"),
       "entry 2: burst_size must be a 32-bit signed integer"},
      {token_entry("k", "-1"), "entry 2: need_tokens is negative"},
      {token_entry("k", "1", "0", "1"), "entry 2: gen_rate must be positive for a new access key"},
      {token_entry("k", "1", "1", "-1"),
       "entry 2: burst_size must be positive for a new access key"},
  };
  std::string expected_errors;
  int case_number = 0;
  for (const auto& invalid : kInvalidEntries) {
    const std::string key = "v" + std::to_string(case_number++);
    expect_no_reply(token_request({token_entry(key, "1"), invalid.second_entry}), key + "probe");
    EXPECT_EQ(exchange(token_request({token_entry(key, "7")})), token_reply({{key, 7}}))
        << invalid.problem;
    expected_errors += "invalid token request: " + invalid.problem + "\n";
  }

  const std::string kRequestRefusals[][2] = {
      {"[" + token_entry("w0") + "]", "not a JSON object"},
      {"{\"Array\":[" + token_entry("w1") + "]}", "\"array\" missing or not an array"},
      {"{\"array\":" + token_entry("w2") + "}", "\"array\" missing or not an array"},
  };
  for (const auto& refusal : kRequestRefusals) {
    expect_no_reply(refusal[0], "wprobe" + std::to_string(case_number++));
    expected_errors += "invalid token request: " + refusal[1] + "\n";
  }
  EXPECT_EQ(exchange(token_request(
                {token_entry("w0", "7"), token_entry("w1", "7"), token_entry("w2", "7")})),
            token_reply({{"w0", 7}, {"w1", 7}, {"w2", 7}}));

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

}  // namespace

}  // namespace token_server
