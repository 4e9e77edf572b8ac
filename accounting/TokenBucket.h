// Token buckets: how many whole tokens a client may take at a given time.
//
// Times are milliseconds of the steady clock (doubles), rates are tokens per second and burst
// sizes are the most tokens a bucket holds. A bucket is stored as the time at which it was (or
// would have been) empty: at time t it holds min((t - emptyTime_) / 1000 * rate, burst) tokens.
// Only whole tokens are handed out; the fraction stays in the bucket.
//
// Thread safety: any number of threads may draw from and re-rate one bucket at once. A draw, with
// the re-rate that follows it, holds the bucket's mutex_ for its whole run and reads the clock
// under it; no other lock is taken meanwhile.
#pragma once

#include <algorithm>
#include <atomic>
#include <cassert>
#include <chrono>
#include <cmath>
#include <cstdint>

#include "base/mutex.h"

namespace token_server {

// Bucket times are milliseconds; rates are per second.
constexpr double kMillisPerSecond = 1000;

// Re-rate bounds: a known client's bucket takes a requested rate or burst size only within them.
constexpr double kMaxGenRate = 10'000'000;   // tokens per second
constexpr double kMaxBurstSize = 1'000'000;  // tokens

// The steady clock as milliseconds, the time unit of every bucket operation.
inline double steadyNowMillis() {
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::steady_clock::now().time_since_epoch());
  return static_cast<double>(ns.count()) / 1e6;
}

// The clock a bucket reads by default; tests pass a clock of their own.
struct SteadyClockMillis {
  double operator()() const { return steadyNowMillis(); }
};

// What a draw tells a client that asks: the bucket as the draw (and its re-rate) left it. Plain
// numbers without initializers, so that an array of them for a request's entries costs nothing
// until filled.
struct DrawDetail {
  uint64_t remaining;  // whole tokens left
  // Until the bucket holds the unmet part of the need, or its burst size if that is smaller;
  // 0 when the need was met.
  uint64_t retry_after_ms;
};

// Time differences below the clock's nanosecond are the doubles' rounding, not time to wait.
constexpr double kClockResolutionMillis = 1e-6;

// The clock state of one bucket; its rate and burst size are passed to every operation.
class BasicDynamicTokenBucket {
 public:
  explicit BasicDynamicTokenBucket(double emptyTime = 0) : emptyTime_(emptyTime) {}

  // A copy takes the empty time and a fresh, unlocked mutex.
  BasicDynamicTokenBucket(const BasicDynamicTokenBucket& other) : emptyTime_(other.emptyTime()) {}
  BasicDynamicTokenBucket& operator=(const BasicDynamicTokenBucket&) = delete;

  // Draws up to `amount` whole tokens at `now` and returns what it granted: 0 when the bucket
  // holds less than one token, otherwise min(amount, the whole tokens held).
  double consumeOrDrain(double amount, double rate, double burstSize, double now) {
    assert(rate > 0);
    assert(burstSize > 0);
    token_base::MutexLock lock(&mutex_);
    return drainLocked(amount, rate, burstSize, now);
  }

  // Tokens held at `now`; changes nothing.
  double available(double rate, double burstSize, double now) const {
    assert(rate > 0);
    assert(burstSize > 0);
    return tokensAt(emptyTime(), rate, burstSize, now);
  }

  double emptyTime() const { return emptyTime_.load(); }
  // Sets the empty time, for a re-rate.
  void setEmptyTime(double emptyTime) REQUIRES(mutex_) { emptyTime_.store(emptyTime); }

  // Held by BasicTokenBucket across a draw or a re-rate, so that both see one rate and burst.
  token_base::Mutex& mutex() RETURN_CAPABILITY(mutex_) { return mutex_; }

  // The draw itself, for a caller that holds mutex_ already.
  double drainLocked(double amount, double rate, double burstSize, double now) REQUIRES(mutex_) {
    double empty = emptyTime_.load();
    if (now <= empty) return 0;
    double grant;
    do {
      double tokens = tokensAt(empty, rate, burstSize, now);
      grant = wholeTokensToGrant(amount, tokens);
      tokens -= grant;
      // Capping at burstSize first means idle time beyond a full bucket is not banked.
      double newEmpty = now - tokens / rate * kMillisPerSecond;
      // mutex_ keeps other writers out: the loop only retries a spurious failure of the exchange.
      if (emptyTime_.compare_exchange_weak(empty, newEmpty)) break;
    } while (true);
    return grant;
  }

 private:
  static double tokensAt(double empty, double rate, double burstSize, double now) {
    if (now <= empty) return 0;
    double tokens = (now - empty) / kMillisPerSecond * rate;
    return tokens < burstSize ? tokens : burstSize;
  }

  // Grants round down: a client never gets a token the bucket does not wholly hold.
  static double wholeTokensToGrant(double amount, double tokens) {
    if (tokens < 1) return 0;
    if (amount > tokens) return static_cast<double>(static_cast<int>(tokens));
    return amount;
  }

  // Steady-clock milliseconds at which the bucket was empty. Written by compare-and-swap in a
  // draw and by a store in a re-rate, both under mutex_; read without it by available().
  std::atomic<double> emptyTime_;
  token_base::Mutex mutex_;  // held for the whole of a draw or a re-rate
};

// One client's bucket: the clock state with the rate and burst size the client last asked for.
class BasicTokenBucket {
 public:
  BasicTokenBucket(double rate, double burstSize, double emptyTime = 0)
      : bucket_(emptyTime), rate_(rate), burstSize_(burstSize) {
    assert(rate_ > 0);
    assert(burstSize_ > 0);
  }

  // A copy takes the numbers, read without the lock, and a fresh mutex: copy only a bucket that no
  // other thread uses.
  BasicTokenBucket(const BasicTokenBucket& other)
      : bucket_(other.bucket_), rate_(other.rate_), burstSize_(other.burstSize_) {}
  BasicTokenBucket& operator=(const BasicTokenBucket&) = delete;

  // A rate and a burst size: the ones stored, or the ones a request names.
  struct Rates {
    double rate;
    double burstSize;
  };

  // Draws up to `amount` whole tokens at the stored rate and burst size; then, when `asked`
  // differs from them, re-rates the bucket, each asked value within the re-rate bounds replacing
  // the stored one, so that the new values apply from the next draw on. Both happen at one time,
  // read from `clock` (steady-clock ms) under the bucket's mutex: no other draw or re-rate of the
  // bucket comes between reading the time and using it, so the times of its operations follow
  // their order, and a re-rate cannot hand back tokens that a later-timed draw took.
  // With `detail`, also tells what the draw left, under the same lock and at the same time.
  template <typename Clock = SteadyClockMillis>
  double consumeOrDrain(double amount, const Rates& asked, Clock clock = {},
                        DrawDetail* detail = nullptr) {
    token_base::MutexLock lock(&bucket_.mutex());
    double now = clock();
    double granted = bucket_.drainLocked(amount, rate_, burstSize_, now);
    if (asked.rate != rate_ || asked.burstSize != burstSize_) {
      resetLocked(boundedOrStored(asked.rate, kMaxGenRate, rate_),
                  boundedOrStored(asked.burstSize, kMaxBurstSize, burstSize_), now);
    }
    if (detail != nullptr) *detail = detailLocked(amount, granted, now);
    return granted;
  }

  // What a bucket hands over to be kept beyond the process, and takes back: its rate, its burst
  // size and the tokens it holds.
  struct Held {
    double rate;
    double burstSize;
    double tokens;
  };

  // The bucket as it stands at `now`, read in one hold of its mutex.
  Held held(double now) {
    token_base::MutexLock lock(&bucket_.mutex());
    return {rate_, burstSize_, bucket_.available(rate_, burstSize_, now)};
  }

  // The empty time of a bucket that takes back `kept`, kept `elapsedSeconds` ago, at `now`: the
  // tokens it held, refilled for the time that passed, at most a burst. A negative time (the
  // clock went back) refills nothing.
  static double emptyTimeTakingBack(const Held& kept, double elapsedSeconds, double now) {
    double refill = elapsedSeconds > 0 ? elapsedSeconds * kept.rate : 0;
    double tokens = kept.tokens + refill;
    if (tokens > kept.burstSize) tokens = kept.burstSize;
    return now - tokens / kept.rate * kMillisPerSecond;
  }

  // ---- For tests only: the server draws through consumeOrDrain and reads through held.

  // Re-rates the bucket at `now`, keeping the tokens it holds (up to the new burst size).
  void reset(double genRate, double burstSize, double now) {
    token_base::MutexLock lock(&bucket_.mutex());
    resetLocked(genRate, burstSize, now);
  }

  // Tokens held at `now`.
  double available(double now) {
    token_base::MutexLock lock(&bucket_.mutex());
    return bucket_.available(rate_, burstSize_, now);
  }

  // The stored rate and burst size, read together under the bucket's mutex.
  Rates rates() {
    token_base::MutexLock lock(&bucket_.mutex());
    return {rate_, burstSize_};
  }

 private:
  // A requested value outside (0, limit] leaves the stored one in place.
  static double boundedOrStored(double requested, double limit, double stored) {
    return requested > 0 && requested <= limit ? requested : stored;
  }

  // A `now` at or before the empty time finds the bucket empty and leaves the empty time where it
  // is: setting it back to `now` would hand back tokens already drawn.
  void resetLocked(double genRate, double burstSize, double now) REQUIRES(bucket_.mutex()) {
    assert(genRate > 0);
    assert(burstSize > 0);
    double empty = bucket_.emptyTime();
    if (now > empty) {
      double carried = bucket_.available(rate_, burstSize_, now);
      empty = now - carried / genRate * kMillisPerSecond;
    }
    rate_ = genRate;
    burstSize_ = burstSize;
    bucket_.setEmptyTime(empty);
  }

  // The bucket after a draw of `granted` out of `amount` at `now`, at the rate and burst size the
  // next draw will use. A short grant took every whole token, so less than one is left and the
  // wait is positive.
  DrawDetail detailLocked(double amount, double granted, double now) REQUIRES(bucket_.mutex()) {
    DrawDetail detail = {};
    detail.remaining = static_cast<uint64_t>(bucket_.available(rate_, burstSize_, now));
    if (granted < amount) {
      double wanted = std::min(amount - granted, burstSize_);
      double wait = bucket_.emptyTime() + wanted / rate_ * kMillisPerSecond - now;
      detail.retry_after_ms =
          static_cast<uint64_t>(std::max(1.0, std::ceil(wait - kClockResolutionMillis)));
    }
    return detail;
  }

  BasicDynamicTokenBucket bucket_;
  double rate_ GUARDED_BY(bucket_.mutex());       // tokens per second, > 0
  double burstSize_ GUARDED_BY(bucket_.mutex());  // most tokens held, > 0
};

}  // namespace token_server
