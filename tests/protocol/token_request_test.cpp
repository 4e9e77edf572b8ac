// Token requests from JSON text to reply text: parsing, the checks that refuse a request before
// anything is granted, and the exact bytes of the reply. Grants come from a fake.
#include "protocol/token_request.h"

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "protocol/token_connection.h"
#include "tests/support/token_request_text.h"

namespace token_server {

namespace {

// `text` read in place, as the server reads a request; the entries point into `text_`.
class ParsedText {
 public:
  explicit ParsedText(const std::string& text) : text_(text) {
    parsed_ok_ = parse_token_request(text_.data(), request_.get());
  }
  bool parsed_ok() const { return parsed_ok_; }
  ParsedTokenRequest* request() { return request_.get(); }

 private:
  std::string text_;
  std::unique_ptr<ParsedTokenRequest> request_ = std::make_unique<ParsedTokenRequest>();
  bool parsed_ok_ = false;
};

bool parses(const std::string& text) { return ParsedText(text).parsed_ok(); }

class TokenRequestTest : public ::testing::Test {
 protected:
  // The check's verdict on `text`, which must parse: "" when every entry may be granted.
  std::string problem_of(const std::string& text) {
    ParsedText parsed(text);
    EXPECT_TRUE(parsed.parsed_ok()) << text;
    return check_token_request(*parsed.request(), buckets_of(*parsed.request()).data());
  }

  // The reply to a valid request, each entry granted its need; a detail tells the entry's own
  // numbers back: its burst as remaining, its rate as the wait.
  std::string reply_to(const std::string& text) {
    ParsedText parsed(text);
    const ParsedTokenRequest& request = *parsed.request();
    EXPECT_TRUE(parsed.parsed_ok()) << text;
    EXPECT_EQ(check_token_request(request, buckets_of(request).data()), "") << text;
    std::vector<EntryGrant> grants;
    for (int i = 0; i < request.entry_count; ++i) {
      const TokenEntry& entry = request.entries[i];
      grants.push_back(
          {static_cast<double>(entry.need_tokens),
           {static_cast<uint64_t>(entry.burst_size), static_cast<uint64_t>(entry.gen_rate)}});
    }
    char reply[kReplyBufferSize];
    int length = write_token_reply(request, grants.data(), reply);
    EXPECT_EQ(reply[length], '\0');
    return std::string(reply, static_cast<size_t>(length));
  }

  // Known keys share one bucket.
  std::vector<BasicTokenBucket*> buckets_of(const ParsedTokenRequest& request) {
    std::vector<BasicTokenBucket*> buckets;
    for (int i = 0; i < request.entry_count; ++i) {
      buckets.push_back(known_.count(request.entries[i].accesskey) > 0 ? &known_bucket_ : nullptr);
    }
    return buckets;
  }

  std::set<std::string> known_ = {"known"};
  BasicTokenBucket known_bucket_{1, 1};
};

TEST(TokenRequestParse, RefusesTextThatIsNotOneJsonValue) {
  for (const std::string& text : kNotJson) EXPECT_FALSE(parses(text)) << text;
}

TEST(TokenRequestParse, DeepNestingNeedsNoDeepStack) {
  const size_t kDepth = kConnectionBufferSize - 2;
  EXPECT_FALSE(parses(std::string(kDepth, '[')));
  const size_t kHalf = kDepth / 2 - 16;
  EXPECT_TRUE(
      parses("{\"array\":[],\"x\":" + std::string(kHalf, '[') + std::string(kHalf, ']') + "}"));
}

// Only a top-level "detail" whose first occurrence is true asks for detail.
TEST(TokenRequestParse, DetailIsAskedByATopLevelTrueOnly) {
  const std::pair<std::string, bool> kRows[] = {
      {"{\"array\":[],\"detail\":true}", true},
      {"{\"detail\":true,\"array\":[]}", true},
      {"{\"d\\u0065tail\":true,\"array\":[]}", true},
      {"{\"detail\":true}", true},  // refused, but told so
      {"{\"array\":[]}", false},
      {"{\"array\":[],\"detail\":false}", false},
      {"{\"array\":[],\"detail\":1}", false},
      {"{\"array\":[],\"detail\":\"true\"}", false},
      {"{\"array\":[],\"detail\":[true]}", false},
      {"{\"array\":[],\"detail\":null,\"detail\":true}", false},
      {"{\"array\":[],\"Detail\":true}", false},
      {"{\"array\":[],\"x\":{\"detail\":true}}", false},
      {"{\"array\":[{\"detail\":true}]}", false},
      {"[{\"detail\":true}]", false},
  };
  for (const auto& [text, detail] : kRows) {
    ParsedText parsed(text);
    EXPECT_TRUE(parsed.parsed_ok()) << text;
    EXPECT_EQ(parsed.request()->detail, detail) << text;
  }
}

// Each refused row names its problem; values at the limits, and rates that are not positive for
// a known key or one an earlier entry created, are no problem.
TEST_F(TokenRequestTest, RefusesWhatBreaksTheRequestRulesAndNothingElse) {
  std::vector<Refusal> rows = refused_requests("first");
  for (const std::vector<std::string>& accepted : {
           std::vector{token_entry(std::string(29, 'k'))},
           std::vector{token_entry(std::string(28, 'k') + "\\/")},
           std::vector{token_entry("k", "2147483647", "2147483647", "2147483647")},
           std::vector{token_entry("known", "1", "-2147483648", "0")},
           std::vector{token_entry("new"), token_entry("new", "1", "0", "-5")},
       }) {
    rows.push_back({token_request(accepted), ""});
  }
  for (const Refusal& row : rows) EXPECT_EQ(problem_of(row.request), row.problem) << row.request;
}

// Every entry is answered in order, with the numbers of its members' first occurrences wherever
// they stand; the detail rows tell each entry's need, burst and rate back as granted.
TEST_F(TokenRequestTest, ReplyListsEveryEntryInOrderAsItsFirstMembersSay) {
  std::vector<std::string> escaped_keys;
  std::vector<std::pair<std::string, unsigned>> escaped_grants;
  for (const EscapedAccessKey& key : kEscapedAccessKeys) {
    escaped_keys.push_back(token_entry(key.in_request, "3"));
    escaped_grants.emplace_back(key.in_reply, 3);
  }
  const std::string reordered =
      "{\"more\":{\"a\":[1,2]},\"x\":[1],\"burst_size\":1,\"gen_rate\":1,\"need_tokens\":4,"
      "\"accesskey\":\"r\",\"y\":{}}";
  const std::string duplicated =
      "{\"accesskey\":\"d\",\"need_tokens\":2,\"gen_rate\":3,\"burst_size\":4,\"need_tokens\":7,"
      "\"accesskey\":\"e\",\"gen_rate\":\"x\",\"burst_size\":-1}";
  const std::string escaped_names =
      "{\"\\u0061ccesskey\":\"n\",\"need\\u005ftokens\":6,\"gen_r\\u0061te\":1,"
      "\"burst\\u005Fsize\":1}";
  const std::string empty = "{\"array\":[]}\r\n";
  const std::pair<std::string, std::string> kRows[] = {
      {token_request({token_entry("a", "5", "10", "20"),
                      token_entry("known", "0", "-2147483648", "0"),
                      token_entry("a", "2147483647", "2", "4")}),
       token_reply({{"a", 5}, {"known", 0}, {"a", 2147483647}})},
      {"{\"detail\":true,\"array\":[" + token_entry("a", "5", "10", "20") + "," +
           token_entry("b", "0", "2147483647", "1") + "]}",
       "{\"array\":[{\"accesskey\":\"a\",\"tokens\":5,\"remaining\":20,\"retry_after_ms\":10},"
       "{\"accesskey\":\"b\",\"tokens\":0,\"remaining\":1,\"retry_after_ms\":2147483647}]}\r\n"},
      {"{\"first\":0,\"detail\":true,\"\\u0061rray\":[" + reordered + "," + duplicated + "," +
           escaped_names + "],\"array\":null,\"array\":5}",
       "{\"array\":[{\"accesskey\":\"r\",\"tokens\":4,\"remaining\":1,\"retry_after_ms\":1},"
       "{\"accesskey\":\"d\",\"tokens\":2,\"remaining\":4,\"retry_after_ms\":3},"
       "{\"accesskey\":\"n\",\"tokens\":6,\"remaining\":1,\"retry_after_ms\":1}]}\r\n"},
      {token_request(escaped_keys), token_reply(escaped_grants)},
      {" \t\r\n{ \"array\" \r: [\n" + token_entry("spaced") + "\t] }\t\n",
       token_reply({{"spaced", 1}})},
      {"{\"array\":[]}", empty},
      {"{\"other\":1,\"array\":[],\"more\":[{}]}", empty},
      {" \t\r\n{ \"array\" \r: [\n] }\t\n", empty},
      {"{\"detail\":true,\"array\":[]}", empty},
  };
  for (const auto& [text, reply] : kRows) EXPECT_EQ(reply_to(text), reply) << text;
  // The least rate, which no reply tells, is read as it was sent.
  ParsedText least(token_request({token_entry("known", "0", "-2147483648", "0")}));
  ASSERT_TRUE(least.parsed_ok());
  EXPECT_EQ(least.request()->entries[0].gen_rate, -2147483647 - 1);
}

TEST(TokenErrorReply, CarriesTheProblemAsAJsonString) {
  char reply[kReplyBufferSize];
  int length = write_error_reply("invalid token request: \"array\" missing", reply);
  EXPECT_EQ(std::string(reply, static_cast<size_t>(length)),
            "{\"error\":\"invalid token request: \\\"array\\\" missing\"}\r\n");
  EXPECT_EQ(reply[length], '\0');
}

// "fallback" counts only as true at the top, at its first occurrence; the reply is the same.
TEST_F(TokenRequestTest, FallbackIsTrueAtTheTopOnly) {
  const std::string entries =
      R"("array":[{"accesskey":"f","need_tokens":1,"gen_rate":1,"burst_size":1}])";
  const std::pair<std::string, bool> rows[] = {
      {"{" + entries + "}", false},
      {R"({"fallback":true,)" + entries + "}", true},
      {"{" + entries + R"(,"fallback":true})", true},
      {R"({"fallback":true,"fallback":false,)" + entries + "}", true},
      {R"({"fallback":false,"fallback":true,)" + entries + "}", false},
      {R"({"fallback":1,)" + entries + "}", false},
      {R"({"fallback":"true",)" + entries + "}", false},
      {R"({"fallback":[true],)" + entries + "}", false},
      {R"({"x":{"fallback":true},)" + entries + "}", false},
      {R"({"array":[{"accesskey":"f","need_tokens":1,"gen_rate":1,"burst_size":1,"fallback":true}]})",
       false},
  };
  for (const auto& [text, fallback] : rows) {
    ParsedText parsed(text);
    ASSERT_TRUE(parsed.parsed_ok()) << text;
    EXPECT_EQ(parsed.request()->fallback, fallback) << text;
    EXPECT_EQ(reply_to(text), token_reply({{"f", 1}})) << text;
  }
}

}  // namespace

}  // namespace token_server
