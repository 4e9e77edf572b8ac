// DenyCache: the keys a server has denied lately, and until when, so that calls for them can be
// answered 0 without asking (TokenClient.h says when a client uses one).
//
// A denial starts when a server grants a key less than its need and says how long until the
// bucket holds the rest; it lasts that long. It ends early when the server answers the key
// otherwise, or when a call names another rate or burst size for it (that call goes to the server,
// which alone re-rates the bucket).
//
// Threads: any number may share one. Every member takes `mutex_` for a lookup or an update of the
// map, never across a call to a server.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <unordered_map>

#include "base/mutex.h"
#include "token_client/TokenClient.h"
#include "wire.h"

namespace token_client {

class DenyCache {
 public:
  using Clock = std::chrono::steady_clock;

  DenyCache() = default;
  DenyCache(const DenyCache&) = delete;
  DenyCache& operator=(const DenyCache&) = delete;

  // Whether a denial answers `request` at `now`; if so, `grant` is 0 tokens, cached, with the wait
  // left. A request that names other rates than the denied one ends the denial and is not
  // answered; nor is a need of 0, which asks what the bucket holds.
  bool answer(const TokenRequest& request, Clock::time_point now, TokenGrant* grant)
      EXCLUDES(mutex_);
  // Answers from the cache what it can of entries[0, count) into grants; puts the places of the
  // others into *unanswered, in order.
  void answer_entries(EntryList entries, Clock::time_point now, TokenGrant* grants,
                      std::vector<size_t>* unanswered) EXCLUDES(mutex_);
  // Takes in a server's answer to `request`, received at `now`.
  void note(const TokenRequest& request, const TokenGrant& grant, Clock::time_point now)
      EXCLUDES(mutex_);
  // Keys held, the expired ones not yet swept included. For tests.
  size_t size() const EXCLUDES(mutex_);

 private:
  struct Denial {
    Clock::time_point until;
    int32_t gen_rate;  // as the denied request named them
    int32_t burst_size;
  };

  // Drops the expired denials once the map has doubled since the last sweep, so that keys denied
  // once and never asked for again do not pile up.
  void sweep_if_grown(Clock::time_point now) REQUIRES(mutex_);

  mutable token_base::Mutex mutex_;
  std::unordered_map<std::string, Denial> denials_ GUARDED_BY(mutex_);
  size_t sweep_at_ GUARDED_BY(mutex_) = 64;  // the size at which the next sweep runs
};

}  // namespace token_client
