// What the server tells about itself: its figures on SIGUSR1, the lines around a spell in which
// every worker is busy, and the status line for a service manager. All of it is written by the
// accept loop, between connections; the workers only count.
#include <unistd.h>

#include <string>

#include "protocol/trace.h"
#include "server/TokenServer.h"
#include "server/service_notify.h"

namespace {

using Clock = std::chrono::steady_clock;

// The sum of one counter over the workers. Each is read with a relaxed load and may lag a request
// behind its worker.
uint64_t total(const std::vector<RequestCounters>& workers,
               std::atomic<uint64_t> RequestCounters::*counter) {
  uint64_t sum = 0;
  for (const RequestCounters& worker : workers)
    sum += (worker.*counter).load(std::memory_order_relaxed);
  return sum;
}

void append(std::string* line, const char* name, uint64_t value) {
  *line += ' ';
  *line += name;
  *line += '=';
  *line += std::to_string(value);
}

}  // namespace

void TokenServer::request_figures() {
  figures_requested.store(true);
  wake_acceptor();
}

std::string TokenServer::figures_line() {
  PoolLoad load = pool_load();
  auto uptime = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - started_at);
  std::string line = "figures:";
  append(&line, "uptime_s", static_cast<uint64_t>(uptime.count()));
  append(&line, "connections_accepted", connections_accepted);
  append(&line, "connections_served", load.busy_workers);
  append(&line, "connections_queued", load.queued);
  append(&line, "busy_workers", load.busy_workers);
  append(&line, "workers", workers.size());
  append(&line, "handshakes", total(worker_counters, &RequestCounters::handshakes));
  append(&line, "token_requests", total(worker_counters, &RequestCounters::token_requests));
  append(&line, "parse_errors", total(worker_counters, &RequestCounters::parse_errors));
  append(&line, "refusals", total(worker_counters, &RequestCounters::refusals));
  append(&line, "tokens_granted", total(worker_counters, &RequestCounters::tokens_granted));
  append(&line, "known_keys", known_clients());
  append(&line, "trace_lines_lost", total(worker_counters, &RequestCounters::trace_lines_lost));
  return line;
}

std::string TokenServer::status_line() {
  PoolLoad load = pool_load();
  return std::to_string(load.busy_workers) + " of " + std::to_string(workers.size()) +
         " workers busy, " + std::to_string(load.queued) + " queued, " +
         std::to_string(known_clients()) + " keys";
}

TokenServer::PoolLoad TokenServer::pool_load() {
  MutexLock lock(&sockets_mutex);
  PoolLoad load = {0, sockets.size()};
  for (int client_fd : served_sockets) load.busy_workers += client_fd >= 0 ? 1 : 0;
  return load;
}

void TokenServer::handle_wake_up() {
  uint64_t wake_ups = 0;
  ssize_t drained = ::read(wake_fd, &wake_ups, sizeof wake_ups);
  (void)drained;
  report_saturation_end();
  if (figures_requested.exchange(false)) trace_line(kErrorFd, figures_line());
}

void TokenServer::refresh_status(Clock::time_point now) {
  if (now - last_status_refresh < kStatusRefreshInterval) return;
  last_status_refresh = now;
  notify_status(status_line());
}

void TokenServer::report_saturation_end() {
  std::string line;
  {
    MutexLock lock(&sockets_mutex);
    if (!saturation.end_due) return;
    line = take_saturation_end_line();
  }
  trace_line(kErrorFd, line);
}

std::string TokenServer::take_saturation_end_line() {
  saturation.end_due = false;
  auto longest = std::chrono::duration_cast<std::chrono::milliseconds>(saturation.longest_wait);
  return "connections no longer waiting: " + std::to_string(saturation.waited) +
         " waited, longest wait " + std::to_string(longest.count()) + " ms";
}
