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

// Sums of the workers' counters; each is read with a relaxed load and may lag a request behind.
struct RequestTotals {
  uint64_t handshakes = 0;
  uint64_t token_requests = 0;
  uint64_t parse_errors = 0;
  uint64_t refusals = 0;
  uint64_t tokens_granted = 0;
  uint64_t trace_lines_lost = 0;
};

uint64_t read(const std::atomic<uint64_t>& counter) {
  return counter.load(std::memory_order_relaxed);
}

RequestTotals sum(const std::vector<RequestCounters>& counters) {
  RequestTotals totals;
  for (const RequestCounters& worker : counters) {
    totals.handshakes += read(worker.handshakes);
    totals.token_requests += read(worker.token_requests);
    totals.parse_errors += read(worker.parse_errors);
    totals.refusals += read(worker.refusals);
    totals.tokens_granted += read(worker.tokens_granted);
    totals.trace_lines_lost += read(worker.trace_lines_lost);
  }
  return totals;
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
  size_t queued = 0;
  size_t served = 0;
  {
    MutexLock lock(&sockets_mutex);
    queued = sockets.size();
    for (int client_fd : served_sockets) served += client_fd >= 0 ? 1 : 0;
  }
  RequestTotals totals = sum(worker_counters);
  auto uptime = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - started_at);
  std::string line = "figures:";
  append(&line, "uptime_s", static_cast<uint64_t>(uptime.count()));
  append(&line, "connections_accepted", connections_accepted);
  append(&line, "connections_served", served);
  append(&line, "connections_queued", queued);
  append(&line, "busy_workers", served);  // a worker serves one connection at a time
  append(&line, "workers", workers.size());
  append(&line, "handshakes", totals.handshakes);
  append(&line, "token_requests", totals.token_requests);
  append(&line, "parse_errors", totals.parse_errors);
  append(&line, "refusals", totals.refusals);
  append(&line, "tokens_granted", totals.tokens_granted);
  append(&line, "known_keys", known_clients());
  append(&line, "trace_lines_lost", totals.trace_lines_lost);
  return line;
}

std::string TokenServer::status_line() {
  size_t queued = 0;
  size_t busy = 0;
  {
    MutexLock lock(&sockets_mutex);
    queued = sockets.size();
    for (int client_fd : served_sockets) busy += client_fd >= 0 ? 1 : 0;
  }
  return std::to_string(busy) + " of " + std::to_string(workers.size()) + " workers busy, " +
         std::to_string(queued) + " queued, " + std::to_string(known_clients()) + " keys";
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
