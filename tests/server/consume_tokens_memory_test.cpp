// consume_tokens on requests that outgrow the memory a request's document and writer start
// with: the largest request the buffer holds, and the deepest nesting.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "server/TokenServer.h"
#include "tests/support/token_request_text.h"

namespace token_server {

namespace {

class ConsumeTokensMemory : public ::testing::Test {
 protected:
  ConsumeTokensMemory() : server_(0, 0), conn_(std::make_unique<token_connection>()) {}

  // Hands `text` and its CR LF to consume_tokens; returns the reply, empty when there is none.
  std::string answer(const std::string& text) {
    std::string line = text + "\r\n";
    std::memcpy(conn_->req_buf, line.data(), line.size());
    conn_->nread = conn_->req_len = static_cast<int>(line.size());
    conn_->reply_len = 0;
    conn_->reply_buf[0] = '\0';
    server_.consume_tokens(conn_.get());
    return std::string(conn_->reply_buf, static_cast<size_t>(conn_->reply_len));
  }

  TokenServer server_;  // no workers: consume_tokens is called directly
  std::unique_ptr<token_connection> conn_;
};

TEST_F(ConsumeTokensMemory, LargestRequestOfLongestKeysIsAnsweredWhole) {
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

TEST_F(ConsumeTokensMemory, DeepestNestingGetsNoReplyAndTheNextRequestIsAnswered) {
  const size_t depth = (kConnectionBufferSize - 2) / 2;
  EXPECT_EQ(answer(std::string(depth, '[') + std::string(depth, ']')), "");
  EXPECT_EQ(answer(std::string(depth * 2, '[')), "");
  EXPECT_EQ(answer(token_request({token_entry("after")})), token_reply({{"after", 1}}));
}

}  // namespace

}  // namespace token_server
