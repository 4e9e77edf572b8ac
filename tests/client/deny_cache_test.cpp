// The deny cache at chosen times: what it answers locally, and when it lets a call through.
#include "client/src/deny_cache.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace token_client {
namespace {

using std::chrono::milliseconds;
using Clock = DenyCache::Clock;

const Clock::time_point kStart = Clock::now();

TokenGrant told(uint32_t tokens, int64_t retry_after_ms) {
  TokenGrant grant;
  grant.tokens = tokens;
  grant.remaining = 0;
  grant.retry_after = milliseconds(retry_after_ms);
  return grant;
}

TEST(DenyCache, AnswersADeniedKeyUntilItsWaitIsOver) {
  DenyCache cache;
  const TokenRequest hot{"hot", 3, 1, 5};
  TokenGrant grant;
  EXPECT_FALSE(cache.answer(hot, kStart, &grant));
  cache.note(hot, told(1, 2000), kStart);  // short of the need, with a wait: denied for 2 s
  ASSERT_TRUE(cache.answer(hot, kStart + milliseconds(500), &grant));
  EXPECT_EQ(grant.tokens, 0u);
  EXPECT_TRUE(grant.cached);
  EXPECT_EQ(grant.remaining, std::nullopt);
  EXPECT_EQ(grant.retry_after, milliseconds(1500));
  EXPECT_TRUE(cache.answer({"hot", 1, 1, 5}, kStart + milliseconds(500), &grant));  // any need
  EXPECT_FALSE(cache.answer({"hot", 0, 1, 5}, kStart, &grant));  // need 0 is always asked
  EXPECT_FALSE(cache.answer({"cold", 3, 1, 5}, kStart, &grant));
  // Once the wait is over, the call goes to the server, and the denial is gone.
  EXPECT_FALSE(cache.answer(hot, kStart + milliseconds(2000), &grant));
  EXPECT_EQ(cache.size(), 0u);
}

TEST(DenyCache, OtherRatesOrAGrantInFullEndTheDenial) {
  DenyCache cache;
  const TokenRequest hot{"hot", 3, 1, 5};
  TokenGrant grant;
  cache.note(hot, told(0, 3000), kStart);
  EXPECT_FALSE(cache.answer({"hot", 3, 2, 5}, kStart, &grant));  // a re-rate goes to the server
  EXPECT_FALSE(cache.answer(hot, kStart, &grant));               // and the denial is gone
  cache.note(hot, told(0, 3000), kStart);
  EXPECT_FALSE(cache.answer({"hot", 3, 1, 6}, kStart, &grant));
  cache.note(hot, told(0, 3000), kStart);
  cache.note(hot, told(3, 0), kStart);  // met in full
  EXPECT_FALSE(cache.answer(hot, kStart, &grant));
  TokenGrant without_detail;  // an older server tells no wait: nothing to hold the key for
  cache.note(hot, without_detail, kStart);
  EXPECT_EQ(cache.size(), 0u);
}

TEST(DenyCache, ExpiredKeysDoNotPileUp) {
  DenyCache cache;
  for (int i = 0; i < 1000; ++i) {
    cache.note({"key" + std::to_string(i), 1, 1, 1}, told(0, 10), kStart + milliseconds(i * 100));
  }
  EXPECT_LT(cache.size(), 100u);
}

}  // namespace
}  // namespace token_client
