// What the server tells about itself: its figures on SIGUSR1, the lines about spells in which
// every worker is busy, and the status line for a service manager. All of it is written by the
// accept loop, between connections; the workers only count.
#include <unistd.h>

#include <algorithm>
#include <string>

#include "protocol/trace.h"
#include "server/TokenServer.h"
#include "server/service_notify.h"
#include "server/state_store.h"

namespace token_server {

namespace {

using Clock = std::chrono::steady_clock;

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

// "1 spell", "2 spells".
std::string count_of(uint64_t count, const char* noun) {
  return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

long long whole_millis(Clock::duration duration) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(duration).count();
}

// The idle connections closed for waiting ones, when there were any: ", 2 idle connections
// closed".
std::string idle_closed_text(uint64_t closed) {
  if (closed == 0) return "";
  return ", " + std::to_string(closed) + " idle connection" + (closed == 1 ? "" : "s") + " closed";
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
    token_base::MutexLock lock(&sockets_mutex);
    if (!saturation.end_due) return;
    line = take_saturation_end_line();
  }
  trace_line(kErrorFd, line);
  last_saturation_line = Clock::now();
}

std::string TokenServer::take_saturation_end_line() {
  saturation.end_due = false;
  return "connections no longer waiting: " + std::to_string(saturation.own.waited) +
         " waited, longest wait " + std::to_string(whole_millis(saturation.own.longest_wait)) +
         " ms" + idle_closed_text(saturation.own.idle_closed);
}

void TokenServer::report_saturation_summary(Clock::time_point now) {
  if (now - last_saturation_line < timings.saturation_summary_interval) return;
  std::string line;
  {
    token_base::MutexLock lock(&sockets_mutex);
    if (saturation.summed_spells == 0) return;
    line = take_saturation_summary_line();
  }
  trace_line(kErrorFd, line);
  last_saturation_line = now;
}

std::string TokenServer::take_saturation_summary_line() {
  uint64_t spells = saturation.summed_spells;
  WaitCounts summed = saturation.summed;
  saturation.summed_spells = 0;
  saturation.summed = WaitCounts();
  saturation.in_summary = false;  // a spell still going on counts again if it has waits
  return "workers busy in " + count_of(spells, "spell") + " over the last " +
         std::to_string(timings.saturation_summary_interval.count()) +
         " s: " + count_of(summed.waited, "connection") + " waited, longest wait " +
         std::to_string(whole_millis(summed.longest_wait)) + " ms" +
         idle_closed_text(summed.idle_closed);
}

void TokenServer::Saturation::begin(bool with_own_lines) {
  ongoing = true;
  own_lines = with_own_lines;
  own = WaitCounts();
  in_summary = false;
  if (!own_lines) sum_spell();
}

void TokenServer::Saturation::count_wait(Clock::duration wait) {
  WaitCounts* counts = &own;
  if (!own_lines) {
    sum_spell();
    counts = &summed;
  }
  ++counts->waited;
  counts->longest_wait = std::max(counts->longest_wait, wait);
}

void TokenServer::Saturation::count_idle_closed() {
  WaitCounts* counts = &own;
  if (!own_lines) {
    sum_spell();
    counts = &summed;
  }
  ++counts->idle_closed;
}

bool TokenServer::Saturation::end() {
  ongoing = false;
  end_due = own_lines;
  return end_due;
}

void TokenServer::Saturation::sum_spell() {
  if (!in_summary) ++summed_spells;
  in_summary = true;
}

}  // namespace token_server
