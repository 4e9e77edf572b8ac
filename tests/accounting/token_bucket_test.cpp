// Bucket arithmetic at chosen times: `now` is always passed in, never read from the clock.
#include <gtest/gtest.h>

#include <cstdint>
#include <tuple>

#include "accounting/TokenBucket.h"

namespace token_server {

namespace {

// An empty time that is no round number, so that a rewrite of it shows in the last bits.
constexpr double kEmptyTime = 123456789.123;
constexpr double kTolerance = 1e-6;

// A clock that always reads `now`.
auto reading(double now) {
  return [now] { return now; };
}

// A bucket at rate 1 token/s and burst 10 that holds `tokens` at kEmptyTime + tokens seconds.
struct BucketHolding {
  static constexpr BasicTokenBucket::Rates kStored = {1, 10};
  explicit BucketHolding(double tokens) : now(kEmptyTime + tokens * 1000) {}
  // Draws at `now`, naming the stored rate and burst size.
  double draw(double amount) { return bucket.consumeOrDrain(amount, kStored, reading(now)); }
  // Draws naming `asked`, and what the bucket tells of the draw.
  std::tuple<double, uint64_t, uint64_t> draw_detailed(double amount,
                                                       BasicTokenBucket::Rates asked = kStored) {
    DrawDetail detail;
    double granted = bucket.consumeOrDrain(amount, asked, reading(now), &detail);
    return {granted, detail.remaining, detail.retry_after_ms};
  }
  BasicTokenBucket bucket{kStored.rate, kStored.burstSize, kEmptyTime};
  double now;
};

TEST(TokenBucketTest, GrantsWholeTokensAndKeepsTheFraction) {
  BucketHolding asked_for_more(3.7);
  EXPECT_EQ(asked_for_more.draw(5), 3);
  EXPECT_NEAR(asked_for_more.bucket.available(asked_for_more.now), 0.7, kTolerance);

  BucketHolding asked_for_less(3.7);
  EXPECT_EQ(asked_for_less.draw(2), 2);
  EXPECT_NEAR(asked_for_less.bucket.available(asked_for_less.now), 1.7, kTolerance);
}

// What the bucket tells a client after a draw: the whole tokens left and how long until it holds
// the unmet need (at most a burst), at rate 1 token/s and burst 10 unless re-rated.
TEST(TokenBucketTest, DetailTellsWhatIsLeftAndWhenToComeBack) {
  struct Row {
    const char* what;
    double held, need;
    BasicTokenBucket::Rates asked;
    double granted;
    uint64_t remaining, retry_after_ms;
  };
  const BasicTokenBucket::Rates kSame = BucketHolding::kStored;
  const Row kRows[] = {
      {"met in full", 3.7, 2, kSame, 2, 1, 0},
      {"need zero", 3.7, 0, kSame, 0, 3, 0},
      {"partial grant: 0.7 left, 2 unmet", 3.7, 5, kSame, 3, 0, 1300},
      {"zero grant: 0.4 held", 0.4, 1, kSame, 0, 0, 600},
      {"need above the burst waits for a full bucket", 1000, 25, kSame, 10, 0, 10'000},
      {"re-rated to 2/s: 0.7 carried, 2 unmet", 3.7, 5, {2, 4}, 3, 0, 650},
      {"re-rated to burst 4: the rest is capped", 9, 1, {1, 4}, 1, 4, 0},
      {"re-rated to burst 4: waits for 4, not 6", 1000, 20, {1, 4}, 10, 0, 4000},
  };
  for (const Row& row : kRows) {
    BucketHolding bucket(row.held);
    EXPECT_EQ(bucket.draw_detailed(row.need, row.asked),
              std::make_tuple(row.granted, row.remaining, row.retry_after_ms))
        << row.what;
  }
}

TEST(TokenBucketTest, LessThanOneTokenGrantsNothingAndChangesNothing) {
  BasicDynamicTokenBucket clock_state(kEmptyTime);
  double now = kEmptyTime + 400;  // 0.4 tokens at 1 token/s
  EXPECT_EQ(clock_state.consumeOrDrain(1, 1, 10, now), 0);
  EXPECT_EQ(clock_state.emptyTime(), kEmptyTime);
}

TEST(TokenBucketTest, NeedZeroGrantsNothingAndKeepsTheTokens) {
  BucketHolding bucket(3.7);
  EXPECT_EQ(bucket.draw(0), 0);
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
  EXPECT_EQ(idle_long.draw(4), 4);
  EXPECT_NEAR(idle_long.bucket.available(idle_long.now), 6, kTolerance);
  EXPECT_EQ(idle_long.draw(100), 6);
  EXPECT_NEAR(idle_long.bucket.available(idle_long.now + 2000), 2, kTolerance);
}

TEST(TokenBucketTest, ReRateFollowsTheDrawAndCarriesTheTokensHeld) {
  BasicTokenBucket bucket(1, 100, kEmptyTime);
  double now = kEmptyTime + 200'000;  // full
  // Drawn at the stored rate, then re-rated at the same time.
  EXPECT_EQ(bucket.consumeOrDrain(50, {2, 100}, reading(now)), 50);
  EXPECT_EQ(bucket.rates().rate, 2);
  EXPECT_NEAR(bucket.available(now), 50, kTolerance);
  EXPECT_EQ(bucket.consumeOrDrain(100, {2, 100}, reading(now)), 50);
  // Refilling now runs at the new rate.
  EXPECT_NEAR(bucket.available(now + 1000), 2, kTolerance);
}

TEST(TokenBucketTest, ReRateToASmallerBurstCapsTheNextDraw) {
  BasicTokenBucket bucket(1, 100, kEmptyTime);
  double now = kEmptyTime + 200'000;
  EXPECT_EQ(bucket.consumeOrDrain(0, {1, 10}, reading(now)), 0);
  EXPECT_EQ(bucket.consumeOrDrain(100, {1, 10}, reading(now)), 10);
}

// A re-rate timed before a draw already made finds the bucket as the draw left it: drained at
// 1000 ms and re-rated at 990 ms, it holds nothing at 1000 ms, where setting its empty time back to
// 990 ms would hand back 10 ms of refill, 10,000 tokens.
TEST(TokenBucketTest, ReRateTimedBeforeADrawHandsNothingBack) {
  constexpr double kRate = 1'000'000;
  BasicTokenBucket bucket(kRate, kRate, 0);
  EXPECT_EQ(bucket.consumeOrDrain(kRate, {kRate, kRate}, reading(1000)), kRate);
  bucket.reset(kRate, kRate - 1, 990);
  EXPECT_EQ(bucket.consumeOrDrain(kRate, {kRate, kRate - 1}, reading(1000)), 0);
}

}  // namespace

}  // namespace token_server
