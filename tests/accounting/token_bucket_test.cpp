// Bucket arithmetic at chosen times: `now` is always passed in, never read from the clock.
#include <gtest/gtest.h>

#include "accounting/TokenBucket.h"

namespace {

// An empty time that is no round number, so that a rewrite of it shows in the last bits.
constexpr double kEmptyTime = 123456789.123;
constexpr double kTolerance = 1e-6;

// A bucket at rate 1 token/s and burst 10 that holds `tokens` at kEmptyTime + tokens seconds.
struct BucketHolding {
  explicit BucketHolding(double tokens) : now(kEmptyTime + tokens * 1000) {}
  BasicTokenBucket bucket{1, 10, kEmptyTime};
  double now;
};

TEST(TokenBucketTest, GrantsWholeTokensAndKeepsTheFraction) {
  BucketHolding asked_for_more(3.7);
  EXPECT_EQ(asked_for_more.bucket.consumeOrDrain(5, asked_for_more.now), 3);
  EXPECT_NEAR(asked_for_more.bucket.available(asked_for_more.now), 0.7, kTolerance);

  BucketHolding asked_for_less(3.7);
  EXPECT_EQ(asked_for_less.bucket.consumeOrDrain(2, asked_for_less.now), 2);
  EXPECT_NEAR(asked_for_less.bucket.available(asked_for_less.now), 1.7, kTolerance);
}

TEST(TokenBucketTest, LessThanOneTokenGrantsNothingAndChangesNothing) {
  BasicDynamicTokenBucket clock_state(kEmptyTime);
  double now = kEmptyTime + 400;  // 0.4 tokens at 1 token/s
  EXPECT_EQ(clock_state.consumeOrDrain(1, 1, 10, now), 0);
  EXPECT_EQ(clock_state.emptyTime(), kEmptyTime);
}

TEST(TokenBucketTest, NeedZeroGrantsNothingAndKeepsTheTokens) {
  BucketHolding bucket(3.7);
  EXPECT_EQ(bucket.bucket.consumeOrDrain(0, bucket.now), 0);
  EXPECT_NEAR(bucket.bucket.available(bucket.now), 3.7, kTolerance);
}

TEST(TokenBucketTest, EmptyTimeAtOrAfterNowGrantsNothing) {
  BasicDynamicTokenBucket clock_state(kEmptyTime);
  EXPECT_EQ(clock_state.consumeOrDrain(5, 1, 10, kEmptyTime), 0);
  EXPECT_EQ(clock_state.consumeOrDrain(5, 1, 10, kEmptyTime - 2000), 0);
  EXPECT_EQ(clock_state.emptyTime(), kEmptyTime);
}

TEST(TokenBucketTest, IdleTimeBeyondAFullBucketIsNotBanked) {
  BucketHolding idle_long(1000);  // a thousand tokens' worth of time, burst 10
  EXPECT_EQ(idle_long.bucket.consumeOrDrain(4, idle_long.now), 4);
  EXPECT_NEAR(idle_long.bucket.available(idle_long.now), 6, kTolerance);
  EXPECT_EQ(idle_long.bucket.consumeOrDrain(100, idle_long.now), 6);
  EXPECT_NEAR(idle_long.bucket.available(idle_long.now + 2000), 2, kTolerance);
}

TEST(TokenBucketTest, ReRateCarriesTheTokensHeld) {
  BasicTokenBucket bucket(1, 100, kEmptyTime);
  double now = kEmptyTime + 200'000;  // full
  EXPECT_EQ(bucket.consumeOrDrain(50, now), 50);
  bucket.reset(2, 100, now);
  EXPECT_NEAR(bucket.available(now), 50, kTolerance);
  EXPECT_EQ(bucket.consumeOrDrain(100, now), 50);
  // Refilling now runs at the new rate.
  EXPECT_NEAR(bucket.available(now + 1000), 2, kTolerance);
}

TEST(TokenBucketTest, ReRateToASmallerBurstCapsTheNextDraw) {
  BasicTokenBucket bucket(1, 100, kEmptyTime);
  double now = kEmptyTime + 200'000;
  bucket.reset(1, 10, now);
  EXPECT_EQ(bucket.consumeOrDrain(100, now), 10);
}

}  // namespace
