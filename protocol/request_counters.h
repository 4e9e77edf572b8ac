// RequestCounters: what one worker has done, for the figures the server reports on demand.
//
// Each worker counts in a record of its own, a cache line apart from every other, so counting
// never makes cores trade a line. A record has one writer, its worker, which adds with a plain
// load and store (no locked instruction); the figures are sums of relaxed loads, taken only when
// someone asks, and may lag a request behind.
#pragma once

#include <atomic>
#include <cstdint>

constexpr std::size_t kCacheLineBytes = 64;

struct alignas(kCacheLineBytes) RequestCounters {
  std::atomic<uint64_t> handshakes{0};
  std::atomic<uint64_t> token_requests{0};  // answered with a token reply
  std::atomic<uint64_t> parse_errors{0};    // not JSON
  std::atomic<uint64_t> refusals{0};        // JSON that breaks a rule of the token request
  std::atomic<uint64_t> tokens_granted{0};
  std::atomic<uint64_t> trace_lines_lost{0};  // lines whose write failed
};

// Where a connection that no worker serves (a test's, a tool's) counts: kept, never reported.
inline RequestCounters uncounted_requests;

// Adds `amount` to a counter that only the calling thread writes.
inline void count(std::atomic<uint64_t>& counter, uint64_t amount = 1) {
  counter.store(counter.load(std::memory_order_relaxed) + amount, std::memory_order_relaxed);
}
