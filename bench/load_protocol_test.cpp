// The load generator's requests and reply checks: a checker that let a wrong reply through
// would make every benchmark figure meaningless.
#include "bench/load_protocol.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

EntryNumbers numbers(int need) { return {need, 10, 20}; }

TEST(TokenRequestText, KeysAreRewrittenInPlaceWithFixedWidth) {
  TokenRequestText request(2, numbers(3));
  request.set_key(0, 42);
  request.set_key(1, kMaxKeySpace - 1);
  EXPECT_EQ(request.text(),
            "{\"array\":[{\"accesskey\":\"k0000042\",\"need_tokens\":3,\"gen_rate\":10,"
            "\"burst_size\":20},{\"accesskey\":\"k9999999\",\"need_tokens\":3,\"gen_rate\":10,"
            "\"burst_size\":20}]}\r\n");
  EXPECT_EQ(request.key_text(1), "k9999999");
}

class TokenReplyCheck : public ::testing::Test {
 protected:
  TokenReplyCheck() : request_(2, numbers(5)) {
    request_.set_key(0, 1);
    request_.set_key(1, 2);
  }
  bool valid(const std::string& reply) const { return is_valid_token_reply(reply, request_, 5); }

  TokenRequestText request_;
};

TEST_F(TokenReplyCheck, AcceptsGrantsFromZeroToTheNeed) {
  EXPECT_TRUE(
      valid("{\"array\":[{\"accesskey\":\"k0000001\",\"tokens\":0},"
            "{\"accesskey\":\"k0000002\",\"tokens\":5}]}\r\n"));
}

TEST_F(TokenReplyCheck, RejectsWrongKeysOrderOrCount) {
  EXPECT_FALSE(
      valid("{\"array\":[{\"accesskey\":\"k0000002\",\"tokens\":1},"
            "{\"accesskey\":\"k0000001\",\"tokens\":1}]}\r\n"));
  EXPECT_FALSE(valid("{\"array\":[{\"accesskey\":\"k0000001\",\"tokens\":1}]}\r\n"));
  EXPECT_FALSE(valid(
      "{\"array\":[{\"accesskey\":\"k0000001\",\"tokens\":1},"
      "{\"accesskey\":\"k0000002\",\"tokens\":1},{\"accesskey\":\"k0000002\",\"tokens\":1}]}\r\n"));
}

TEST_F(TokenReplyCheck, RejectsBadGrants) {
  for (const char* grant : {"6", "-1", "01", "", "1.0", "4294967296", "99999999999"}) {
    EXPECT_FALSE(valid(std::string("{\"array\":[{\"accesskey\":\"k0000001\",\"tokens\":") + grant +
                       "},{\"accesskey\":\"k0000002\",\"tokens\":1}]}\r\n"))
        << grant;
  }
}

TEST_F(TokenReplyCheck, RejectsAnythingAroundTheObject) {
  const std::string reply =
      "{\"array\":[{\"accesskey\":\"k0000001\",\"tokens\":1},"
      "{\"accesskey\":\"k0000002\",\"tokens\":1}]}";
  EXPECT_TRUE(valid(reply + "\r\n"));
  EXPECT_FALSE(valid(reply + "\n"));
  EXPECT_FALSE(valid(reply + "\r\nOK\r\n"));
  EXPECT_FALSE(valid(" " + reply + "\r\n"));
  EXPECT_FALSE(valid(""));
}

TEST(DetailedTokenReplyCheck, WantsBothMembersInEveryEntry) {
  TokenRequestText request(1, numbers(5), true);
  request.set_key(0, 1);
  EXPECT_EQ(request.text().substr(0, 24), "{\"detail\":true,\"array\":[");
  const std::string start = "{\"array\":[{\"accesskey\":\"k0000001\",\"tokens\":5";
  EXPECT_TRUE(is_valid_token_reply(
      start + ",\"remaining\":0,\"retry_after_ms\":2147483648000}]}\r\n", request, 5));
  EXPECT_FALSE(is_valid_token_reply(start + "}]}\r\n", request, 5));
  EXPECT_FALSE(is_valid_token_reply(start + ",\"remaining\":0}]}\r\n", request, 5));
  EXPECT_FALSE(
      is_valid_token_reply(start + ",\"remaining\":-1,\"retry_after_ms\":0}]}\r\n", request, 5));
}

TEST(LineLength, FindsTheFirstCrLfAlsoWhenSplitAcrossReceives) {
  EXPECT_EQ(line_length("OK\r\nOK\r\n", 0), 4u);
  EXPECT_EQ(line_length("OK\r", 0), 0u);
  EXPECT_EQ(line_length("OK\r\n", 3), 4u);  // the CR came with the first receive
  EXPECT_EQ(line_length("\n\r", 0), 0u);
}

TEST(KeyPicker, StaysInTheKeySpaceAndCoversIt) {
  KeyPicker picker(7);
  std::set<long> seen;
  for (int i = 0; i < 10000; ++i) {
    long key = picker.pick(100);
    ASSERT_GE(key, 0);
    ASSERT_LT(key, 100);
    seen.insert(key);
  }
  EXPECT_EQ(seen.size(), 100u);
}

TEST(SummarizeLatencies, UsesNearestRankInMicroseconds) {
  std::vector<uint32_t> nanoseconds;
  for (uint32_t i = 100; i >= 1; --i) nanoseconds.push_back(i * 1000);
  LatencySummary summary = summarize_latencies(&nanoseconds);
  EXPECT_DOUBLE_EQ(summary.p50, 50);
  EXPECT_DOUBLE_EQ(summary.p90, 90);
  EXPECT_DOUBLE_EQ(summary.p99, 99);
  EXPECT_DOUBLE_EQ(summary.max, 100);
  std::vector<uint32_t> none;
  EXPECT_DOUBLE_EQ(summarize_latencies(&none).p99, 0);
}

}  // namespace
