// FleetHealth: whether each server of a ShardedClient is up or down, and the prober thread that
// finds the down ones up again.
//
// A call that meets a server failing marks it down; from then on no call sends to it. The prober
// sends the handshake to each down server, the first time first_probe_delay after it went down
// and then after twice the previous wait, up to max_probe_delay; the first answer marks it up.
// The prober runs while a server is down: a server going down starts it, and it ends when it
// finds none down.
//
// Locks: `mutex_` guards the records and the prober's state, and is never held across a probe.
// The up flags are read on every call without it and written only under it, so that a call reads
// a server's state in one load and the prober's schedule changes with it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "base/mutex.h"
#include "token_client/ShardedClient.h"
#include "token_client/TokenClientPool.h"

namespace token_client {

class FleetHealth {
 public:
  // Probes through `pools` (one per server, in server order), which outlive this object.
  FleetHealth(std::vector<TokenClientPool*> pools, const FleetOptions& options);
  ~FleetHealth();  // stops the prober, waiting for a probe under way
  FleetHealth(const FleetHealth&) = delete;
  FleetHealth& operator=(const FleetHealth&) = delete;

  bool up(size_t server) const { return up_[server].load(std::memory_order_acquire); }
  // A call met `server` failing with `failure` (it waited for it): the server is down.
  void mark_down(size_t server, const Status& failure) EXCLUDES(mutex_);
  // The error of a key not sent to `server` because it is down: nothing was sent.
  Status down_error(size_t server) const EXCLUDES(mutex_);
  ServerHealth health(size_t server) const EXCLUDES(mutex_);
  // Stops the prober, waiting for a probe under way; it starts again at once for a server still
  // down.
  void close() EXCLUDES(mutex_);

 private:
  using Clock = std::chrono::steady_clock;
  struct Record {
    Status last_failure;               // what marked the server down last
    std::chrono::milliseconds wait{};  // from the last probe (or going down) to the next
    Clock::time_point next_probe;      // while down
    uint64_t failed_calls = 0;
    uint64_t probes = 0;
  };

  // Ends the prober and keeps it from starting until close() is done (for good in the destructor).
  void stop_prober() EXCLUDES(mutex_);
  // Starts the prober when a server is down and none runs; returns the thread of an ended one,
  // for the caller to join after releasing the lock.
  std::thread start_prober() REQUIRES(mutex_);
  void probe_down_servers() EXCLUDES(mutex_);
  // Waits until a down server's probe is due and returns it; kNoServer, the prober ending, once
  // none is down or while closing.
  size_t wait_for_due_probe() REQUIRES(mutex_);
  void record_probe(size_t server, const Status& answered) EXCLUDES(mutex_);

  const std::vector<TokenClientPool*> pools_;
  const FleetOptions options_;
  const std::unique_ptr<std::atomic<bool>[]> up_;  // one per server; written under mutex_
  mutable token_base::Mutex mutex_;
  token_base::CondVar prober_wake_;                 // a server went down, or the client is closing
  std::vector<Record> records_ GUARDED_BY(mutex_);  // one per server
  int closing_ GUARDED_BY(mutex_) = 0;  // close() calls under way; 1 more once destroyed
  bool prober_running_ GUARDED_BY(mutex_) = false;  // prober_ has not ended yet
  // Runs probe_down_servers while a server is down; joined by whoever starts the next or stops it.
  std::thread prober_ GUARDED_BY(mutex_);
};

}  // namespace token_client
