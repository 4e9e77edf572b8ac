// RequestCounters: what one worker has done, for the figures the server reports on demand.
//
// Each worker counts in a record of its own, a cache line apart from every other, so counting
// never makes cores trade a line. A record has one writer, its worker, which adds with a plain
// load and store (no locked instruction); the figures are sums of relaxed loads, taken only when
// someone asks, and may lag a request behind.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <iterator>

namespace token_server {

constexpr std::size_t kCacheLineBytes = 64;

// Upper bounds of the service time buckets, in nanoseconds: 1, 2.5 and 5 in each decade from
// 2.5 us, where a request served at once lands, to 10 s, where a stalled peer's does. A last
// bucket holds the longer ones.
constexpr uint64_t kServiceTimeBoundsNanos[] = {
    2'500,         5'000,         10'000,        25'000,      50'000,      100'000,
    250'000,       500'000,       1'000'000,     2'500'000,   5'000'000,   10'000'000,
    25'000'000,    50'000'000,    100'000'000,   250'000'000, 500'000'000, 1'000'000'000,
    2'500'000'000, 5'000'000'000, 10'000'000'000};
constexpr std::size_t kServiceTimeBuckets = std::size(kServiceTimeBoundsNanos) + 1;

struct alignas(kCacheLineBytes) RequestCounters {
  std::atomic<uint64_t> handshakes{0};
  std::atomic<uint64_t> token_requests{0};  // answered with a token reply
  std::atomic<uint64_t> parse_errors{0};    // not JSON
  std::atomic<uint64_t> refusals{0};        // JSON that breaks a rule of the token request
  // Of the token requests granted: their entries, the tokens those asked for and got, and the
  // entries granted fewer tokens than they asked for.
  std::atomic<uint64_t> entries_requested{0};
  std::atomic<uint64_t> tokens_requested{0};
  std::atomic<uint64_t> tokens_granted{0};
  std::atomic<uint64_t> entries_limited{0};
  std::atomic<uint64_t> trace_lines_lost{0};  // lines whose write failed
  // Replies sent, by the time from the request's last byte received to its reply sent: the
  // count of bucket i is of times above bound i - 1 and at most bound i (not cumulative).
  std::atomic<uint64_t> service_times[kServiceTimeBuckets] = {};
  std::atomic<uint64_t> service_nanos{0};  // their sum
};

// Where a connection that no worker serves (a test's, a tool's) counts: kept, never reported.
inline RequestCounters uncounted_requests;

// Adds `amount` to a counter that only the calling thread writes.
inline void count(std::atomic<uint64_t>& counter, uint64_t amount = 1) {
  counter.store(counter.load(std::memory_order_relaxed) + amount, std::memory_order_relaxed);
}

// Counts one reply sent `service_time` after its request's last byte was received.
inline void count_service_time(RequestCounters* counters,
                               std::chrono::steady_clock::duration service_time) {
  auto nanos = static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(service_time).count());
  std::size_t bucket = 0;
  // Most requests stop in the first few buckets.
  while (bucket < std::size(kServiceTimeBoundsNanos) && nanos > kServiceTimeBoundsNanos[bucket]) {
    ++bucket;
  }
  count(counters->service_times[bucket]);
  count(counters->service_nanos, nanos);
}

}  // namespace token_server
