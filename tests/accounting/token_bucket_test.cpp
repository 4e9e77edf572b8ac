// Bucket arithmetic at chosen times: `now` is always passed in, never read from the clock.
#include <gtest/gtest.h>

#include <cstdint>
#include <tuple>
#include <utility>

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

// What a draw grants, what the bucket then holds, and what it tells a client: the whole tokens
// left and how long until it holds the unmet need (at most a burst), at rate 1 token/s and burst
// 10 unless re-rated.
TEST(TokenBucketTest, GrantsWholeTokensAndTellsWhatIsLeftAndWhenToComeBack) {
  struct Row {
    const char* what;
    double held, need;
    BasicTokenBucket::Rates asked;
    double granted;
    uint64_t remaining, retry_after_ms;
    double left;  // tokens held after the draw, the fraction kept
  };
  const BasicTokenBucket::Rates kSame = BucketHolding::kStored;
  const Row kRows[] = {
      {"met in full", 3.7, 2, kSame, 2, 1, 0, 1.7},
      {"need zero", 3.7, 0, kSame, 0, 3, 0, 3.7},
      {"partial grant: 0.7 left, 2 unmet", 3.7, 5, kSame, 3, 0, 1300, 0.7},
      {"zero grant: 0.4 held", 0.4, 1, kSame, 0, 0, 600, 0.4},
      {"idle time beyond a full bucket is not banked", 1000, 4, kSame, 4, 6, 0, 6},
      {"need above the burst waits for a full bucket", 1000, 25, kSame, 10, 0, 10'000, 0},
      {"re-rated to 2/s: 0.7 carried, 2 unmet", 3.7, 5, {2, 4}, 3, 0, 650, 0.7},
      {"re-rated to burst 4: the rest is capped", 9, 1, {1, 4}, 1, 4, 0, 4},
      {"re-rated to burst 4 drawing nothing: capped", 1000, 0, {1, 4}, 0, 4, 0, 4},
      {"re-rated to burst 4: waits for 4, not 6", 1000, 20, {1, 4}, 10, 0, 4000, 0},
  };
  for (const Row& row : kRows) {
    BucketHolding bucket(row.held);
    EXPECT_EQ(bucket.draw_detailed(row.need, row.asked),
              std::make_tuple(row.granted, row.remaining, row.retry_after_ms))
        << row.what;
    EXPECT_NEAR(bucket.bucket.available(bucket.now), row.left, kTolerance) << row.what;
  }
}

// Less than a token to grant, as when the empty time is at or after now (a clock read before
// another thread's draw), grants nothing and leaves the empty time as it was.
TEST(TokenBucketTest, LessThanOneTokenGrantsNothingAndChangesNothing) {
  const std::pair<double, double> kNowAndNeed[] = {
      {kEmptyTime + 400, 1}, {kEmptyTime, 5}, {kEmptyTime - 2000, 5}};
  for (const auto& [now, need] : kNowAndNeed) {
    BasicDynamicTokenBucket clock_state(kEmptyTime);
    EXPECT_EQ(clock_state.consumeOrDrain(need, 1, 10, now), 0) << now - kEmptyTime;
    EXPECT_EQ(clock_state.emptyTime(), kEmptyTime) << now - kEmptyTime;
  }
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

// What a bucket hands over it takes back refilled for the time since, up to a full bucket, and
// without refill when the clock went back; what it hands over is what it holds.
TEST(TokenBucketTest, HandsOverWhatItHoldsAndTakesItBackRefilled) {
  BucketHolding holding(3.7);
  BasicTokenBucket::Held held = holding.bucket.held(holding.now);
  EXPECT_EQ(held.rate, 1);
  EXPECT_EQ(held.burstSize, 10);
  EXPECT_NEAR(held.tokens, 3.7, kTolerance);
  const std::pair<double, double> rows[] = {{2, 5.7}, {0, 3.7}, {-50, 3.7}, {100, 10}};
  for (const auto& [elapsed_seconds, tokens] : rows) {
    double empty = BasicTokenBucket::emptyTimeTakingBack(held, elapsed_seconds, kEmptyTime);
    BasicTokenBucket taken_back(held.rate, held.burstSize, empty);
    EXPECT_NEAR(taken_back.available(kEmptyTime), tokens, kTolerance) << elapsed_seconds;
  }
}

}  // namespace

}  // namespace token_server
