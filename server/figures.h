// Figures: the server's counts and gauges, summed over the workers when asked. The one source of
// the figures line (SIGUSR1), the status line a service manager shows and the metrics endpoint.
//
// A plain value: taken by TokenServer::figures on any thread, then read without a lock. Each
// count is a sum of relaxed loads of per-worker counters, so two counts may disagree by the
// requests being served while they were read.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "protocol/request_counters.h"

namespace token_server {

struct Figures {
  std::chrono::steady_clock::duration uptime{};
  // The pool: accepted connections, those that found every worker busy, and now.
  uint64_t connections_accepted = 0;
  uint64_t connections_waited = 0;
  uint64_t idle_connections_closed = 0;  // for connections that waited
  size_t workers = 0;
  size_t busy_workers = 0;  // each serves one connection
  size_t queued = 0;        // accepted connections waiting for a worker
  size_t known_keys = 0;
  // Requests by kind, and what the granted token requests asked for and got.
  uint64_t handshakes = 0;
  uint64_t token_requests = 0;
  uint64_t parse_errors = 0;
  uint64_t refusals = 0;
  uint64_t entries_requested = 0;
  uint64_t tokens_requested = 0;
  uint64_t tokens_granted = 0;
  uint64_t entries_limited = 0;
  uint64_t trace_lines_lost = 0;
  // The state kept on disk, when it is (STATE_DIRECTORY).
  bool state_kept = false;
  uint64_t state_writes = 0;
  uint64_t state_write_failures = 0;
  int64_t state_last_write_nanos = 0;  // wall clock, since the Unix epoch; 0 before the first
  uint64_t state_keys_loaded = 0;
  // Replies by service time, as RequestCounters keeps them (bucket counts, not cumulative).
  uint64_t service_times[kServiceTimeBuckets] = {};
  uint64_t service_nanos = 0;
};

}  // namespace token_server
