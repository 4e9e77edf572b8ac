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

#include "base/cache_line.h"
#include "server/figure_table.h"

namespace token_server {

using token_base::kCacheLineBytes;

// Upper bounds of the service time buckets, in nanoseconds: 1, 2.5 and 5 in each decade from
// 2.5 us, where a request served at once lands, to 10 s, where a stalled peer's does. A last
// bucket holds the longer ones.
constexpr uint64_t kServiceTimeBoundsNanos[] = {
    2'500,         5'000,         10'000,        25'000,      50'000,      100'000,
    250'000,       500'000,       1'000'000,     2'500'000,   5'000'000,   10'000'000,
    25'000'000,    50'000'000,    100'000'000,   250'000'000, 500'000'000, 1'000'000'000,
    2'500'000'000, 5'000'000'000, 10'000'000'000};
constexpr std::size_t kServiceTimeBuckets = std::size(kServiceTimeBoundsNanos) + 1;

// One field for each COUNT row of the figure table, named as its member there, and the service
// time histogram.
struct alignas(kCacheLineBytes) RequestCounters {
#define TOKEN_SERVER_WORKER_COUNT(member, ...) std::atomic<uint64_t> member{0};
  TOKEN_SERVER_FIGURES(TOKEN_SERVER_WORKER_COUNT, TOKEN_SERVER_NO_FIGURE, TOKEN_SERVER_NO_FIGURE,
                       TOKEN_SERVER_NO_FIGURE)
#undef TOKEN_SERVER_WORKER_COUNT
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
