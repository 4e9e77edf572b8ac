// Accepting when descriptors or memory have run out, on either port: what failed, counted by
// reason, and the pause before the next try, so that a connection left pending in the backlog
// never makes its acceptor spin.
//
// AcceptErrors is written by one acceptor thread and read by the metrics endpoint's; its counts
// are atomics, so it needs no lock. AcceptBackoff belongs to one acceptor thread.
#pragma once

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <iterator>

namespace token_server {

// The failures of accept that end once descriptors or memory are freed, as the metrics label them.
struct AcceptErrorReason {
  int error;
  const char* label;
};
constexpr AcceptErrorReason kAcceptErrorReasons[] = {
    {EMFILE, "emfile"}, {ENFILE, "enfile"}, {ENOBUFS, "enobufs"}, {ENOMEM, "enomem"}};
constexpr size_t kAcceptErrorReasonCount = std::size(kAcceptErrorReasons);

// Whether `error` is one of them: the acceptor pauses and keeps serving meanwhile.
constexpr bool is_exhaustion_error(int error) {
  for (const AcceptErrorReason& reason : kAcceptErrorReasons) {
    if (reason.error == error) return true;
  }
  return false;
}

// Failures that pass on their own: a peer that reset before the accept, a signal.
constexpr bool is_transient_accept_error(int error) {
  return error == EINTR || error == ECONNABORTED || error == EPROTO;
}

// The accepts of one port that failed for want of descriptors or memory, by reason.
class AcceptErrors {
 public:
  void count(int error) {
    for (size_t i = 0; i < kAcceptErrorReasonCount; ++i) {
      if (kAcceptErrorReasons[i].error == error) counts_[i].fetch_add(1, std::memory_order_relaxed);
    }
  }
  uint64_t of(size_t reason) const { return counts_[reason].load(std::memory_order_relaxed); }

 private:
  std::atomic<uint64_t> counts_[kAcceptErrorReasonCount] = {};
};

// The pauses after accepts that failed for want of descriptors: short at first, since one may free
// at once, then doubling up to kLongest; a successful accept starts them afresh.
class AcceptBackoff {
 public:
  static constexpr std::chrono::milliseconds kFirst{5};
  static constexpr std::chrono::milliseconds kLongest{100};

  std::chrono::milliseconds next() {
    pause_ = pause_.count() == 0 ? kFirst : std::min(2 * pause_, kLongest);
    return pause_;
  }
  void reset() { pause_ = std::chrono::milliseconds(0); }

 private:
  std::chrono::milliseconds pause_{0};
};

}  // namespace token_server
