// What the server tells about itself: its figures on SIGUSR1, the lines about spells in which
// every worker is busy, and the status line for a service manager. All of it is written by the
// accept loop, between connections; the workers only count.
#include <unistd.h>

#include <string>

#include "protocol/trace.h"
#include "server/TokenServer.h"
#include "server/service_notify.h"
#include "server/state_store.h"

namespace token_server {

namespace {

using Clock = std::chrono::steady_clock;

// How often the accept loop refreshes the status line a service manager shows.
constexpr std::chrono::seconds kStatusRefreshInterval{5};

// Adds one worker's counts, each read with a relaxed load: it may lag a request behind its worker.
void add_worker_counts(Figures* figures, const RequestCounters& worker) {
  for (const FigureRow& row : kFigureRows) {
    if (row.worker_count != nullptr) {
      figures->*row.member += (worker.*row.worker_count).load(std::memory_order_relaxed);
    }
  }
  for (size_t bucket = 0; bucket < kServiceTimeBuckets; ++bucket) {
    figures->service_times[bucket] += worker.service_times[bucket].load(std::memory_order_relaxed);
  }
  figures->service_nanos += worker.service_nanos.load(std::memory_order_relaxed);
}

}  // namespace

void TokenServer::request_figures() {
  figures_requested.store(true);
  wake_acceptor();
}

Figures TokenServer::figures() {
  Figures figures;
  figures.uptime_nanos = static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - started_at).count());
  {
    token_base::MutexLock lock(&sockets_mutex);
    figures.connections_accepted = connections_accepted;
    figures.connections_waited = connections_waited;
    figures.idle_connections_closed = idle_connections_closed;
    figures.connections_waiting = sockets.size();
    for (int client_fd : served_sockets) figures.busy_workers += client_fd >= 0 ? 1 : 0;
  }
  figures.workers = workers.size();
  figures.known_keys = known_clients();
  for (const RequestCounters& worker : worker_counters) add_worker_counts(&figures, worker);
  if (state_store != nullptr) {
    figures.state_kept = true;
    figures.state_writes = state_store->writes();
    figures.state_write_failures = state_store->write_failures();
    figures.state_last_write_nanos = static_cast<uint64_t>(state_store->last_write_nanos());
    figures.state_keys_loaded = state_store->keys_loaded();
  }
  return figures;
}

std::string TokenServer::figures_line() {
  Figures now = figures();
  std::string line = "figures:";
  for (const FigureRow& row : kFigureRows) {
    if (row.line_name == nullptr || !is_shown(row, now)) continue;
    uint64_t value = now.*row.member;
    line.append(" ").append(row.line_name).append("=");
    line += std::to_string(row.unit == FigureUnit::kNanos ? value / kNanosPerSecond : value);
  }
  return line;
}

std::string TokenServer::status_line() {
  Figures now = figures();
  return std::to_string(now.busy_workers) + " of " + std::to_string(now.workers) +
         " workers busy, " + std::to_string(now.connections_waiting) + " queued, " +
         std::to_string(now.known_keys) + " keys";
}

void TokenServer::handle_wake_up() {
  uint64_t wake_ups = 0;
  ssize_t drained = ::read(wake_fd, &wake_ups, sizeof wake_ups);
  (void)drained;
  write_saturation_lines(Clock::now());
  if (figures_requested.exchange(false)) trace_line(kErrorFd, figures_line());
}

void TokenServer::refresh_status(Clock::time_point now) {
  if (now - last_status_refresh < kStatusRefreshInterval) return;
  last_status_refresh = now;
  notify_status(status_line());
}

void TokenServer::write_saturation_lines(Clock::time_point now) {
  for (;;) {
    std::string line;
    {
      token_base::MutexLock lock(&sockets_mutex);
      line = saturation.due_line(now);
    }
    if (line.empty()) return;
    trace_line(kErrorFd, line);
  }
}

}  // namespace token_server
