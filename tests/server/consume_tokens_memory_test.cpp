// Token requests that outgrow the memory a request's parser and writer start with: the largest
// request the buffer holds, and the deepest nesting.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "server/TokenServer.h"
#include "tests/support/paired_connection.h"
#include "tests/support/stdout_capture.h"
#include "tests/support/token_request_text.h"

namespace token_server {

namespace {

class ConsumeTokensMemory : public ::testing::Test {
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
