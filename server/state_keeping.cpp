// When the server's state is kept: loaded before the server listens, written by a thread of its
// own each interval in which requests came, and written once more when the server stops.
#include <algorithm>
#include <utility>

#include "server/TokenServer.h"
#include "server/state_store.h"

namespace token_server {

namespace {

// How often the state is written while requests change it.
constexpr std::chrono::seconds kStateWriteInterval{1};

}  // namespace

void TokenServer::keep_state_in(const std::string& directory) {
  state_store = std::make_unique<StateStore>(directory);
}

void TokenServer::start_keeping_state() {
  if (state_store == nullptr || state_writer.joinable()) return;
  state_store->load(&clients);
  state_writer = std::thread(&TokenServer::run_state_writer, this);
}

void TokenServer::stop_keeping_state() {
  if (!state_writer.joinable()) return;
  {
    token_base::MutexLock lock(&state_mutex);
    state_writer_stopping = true;
  }
  state_writer_cond.notify_all();
  state_writer.join();
  // The workers have ended: this write holds every grant they made. A file written since the
  // last request holds them already; writing it again would only make the stop longer.
  if (state_changes() == state_written_changes) return;
  const std::atomic<bool> never{false};
  state_store->write(clients, never);
}

void TokenServer::run_state_writer() {
  state_written_changes = state_changes();  // what was loaded is on disk already
  auto next = std::chrono::steady_clock::now() + kStateWriteInterval;
  while (true) {
    {
      token_base::MutexLock lock(&state_mutex);
      while (!state_writer_stopping && std::chrono::steady_clock::now() < next) {
        state_writer_cond.wait_until(&state_mutex, next);
      }
      if (state_writer_stopping) return;
    }
    next += kStateWriteInterval;
    uint64_t changes = state_changes();
    if (changes == state_written_changes) continue;
    // A stop abandons this write: the stop's own, after the workers end, replaces it.
    if (state_store->write(clients, stop) == StateStore::WriteResult::kWritten) {
      state_written_changes = changes;
    }
    // A write longer than the interval is followed by the next at once, not by a backlog.
    next = std::max(next, std::chrono::steady_clock::now());
  }
}

uint64_t TokenServer::state_changes() const {
  uint64_t answered = 0;
  for (const RequestCounters& worker : worker_counters) {
    answered += worker.token_requests.load(std::memory_order_relaxed);
  }
  return answered;
}

}  // namespace token_server
