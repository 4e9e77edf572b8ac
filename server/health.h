// What /healthz answers, from the signs the server keeps of its own life: 200 "ok" only while the
// accept loop turns and the workers get on with the connections that wait; else 503 with the
// first problem found. A pure function of the signs, so that each condition is tested alone.
#pragma once

#include <chrono>
#include <string>

namespace token_server {

// The accept loop turns at least five times a second; this long without a turn, it is stuck.
constexpr std::chrono::seconds kAcceptLoopStallLimit{2};
// Connections that waited this long for a worker, while no worker finished a request or a
// connection for as long, find the pool stuck: wedged, or held by idle connections.
constexpr std::chrono::seconds kWorkerStallLimit{5};

constexpr char kHealthStopping[] = "stopping";
constexpr char kHealthAcceptLoopStalled[] = "accept loop stalled";
constexpr char kHealthWorkersStalled[] = "workers stalled";

struct HealthSigns {
  bool stopping = false;  // a stop has begun, or the token port does not listen yet
  std::chrono::steady_clock::duration since_accept_loop_turned{};
  std::chrono::steady_clock::duration longest_wait{};  // of the connections waiting; 0 for none
  std::chrono::steady_clock::duration since_worker_progress{};
};

// Empty while healthy, else why not.
inline std::string health_problem(const HealthSigns& signs) {
  if (signs.stopping) return kHealthStopping;
  if (signs.since_accept_loop_turned >= kAcceptLoopStallLimit) return kHealthAcceptLoopStalled;
  if (signs.longest_wait >= kWorkerStallLimit && signs.since_worker_progress >= kWorkerStallLimit) {
    return kHealthWorkersStalled;
  }
  return "";
}

}  // namespace token_server
