// Construction, the worker pool and the orderly stop of TokenServer.
#include "server/TokenServer.h"

#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "protocol/trace.h"
#include "server/metrics_http.h"
#include "server/state_store.h"
#include "server/unique_fd.h"

namespace token_server {

namespace {

using Clock = std::chrono::steady_clock;

int make_wake_fd() {
  int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd < 0) {
    std::perror("eventfd");
    std::exit(1);
  }
  return fd;
}

}  // namespace

TokenServer::TokenServer(uint16_t port, int worker_count, std::optional<uint16_t> metrics_port,
                         ServerTimings timings)
    : listen_port(port),
      metrics_port(metrics_port),
      timings(timings),
      started_at(Clock::now()),
      wake_fd(make_wake_fd()),
      stop(false),
      served_sockets(static_cast<size_t>(worker_count), -1),
      saturation(static_cast<size_t>(worker_count), timings.saturation_summary_interval,
                 started_at),
      idle_marks(static_cast<size_t>(worker_count)),
      worker_counters(static_cast<size_t>(worker_count)),
      last_status_refresh(started_at) {
  workers.reserve(static_cast<size_t>(worker_count));
  for (int i = 0; i < worker_count; ++i) workers.emplace_back(&TokenServer::run_worker, this, i);
}

TokenServer::~TokenServer() {
  request_stop();
  shut_down_served_sockets();
  sockets_cond.notify_all();
  for (std::thread& worker : workers) worker.join();
  close_queued_sockets();
  stop_keeping_state();
  metrics_endpoint.reset();  // its pages read the fields below
  ::close(wake_fd);
}

void TokenServer::request_stop() {
  stop.store(true);
  wake_acceptor();
}

void TokenServer::wake_acceptor() {
  // A plain write(2) that adds one to the eventfd's counter: safe in a signal handler.
  uint64_t one = 1;
  ssize_t ignored = ::write(wake_fd, &one, sizeof one);
  (void)ignored;
}

void TokenServer::run_worker(int worker) {
  while (!stop.load()) {
    int client_fd = take_socket(worker);
    if (client_fd < 0) return;
    serve_connection(worker, client_fd);
  }
}

int TokenServer::take_socket(int worker) {
  bool saturation_ended = false;
  int client_fd = -1;
  {
    token_base::MutexLock lock(&sockets_mutex);
    if (++idle_workers == static_cast<int>(served_sockets.size())) pool_idle_cond.notify_all();
    while (!stop.load() && sockets.empty()) sockets_cond.wait(&sockets_mutex);
    --idle_workers;
    if (stop.load()) return -1;
    QueuedSocket taken = sockets.front();
    sockets.pop();
    client_fd = taken.fd;
    served_sockets[static_cast<size_t>(worker)] = client_fd;
    std::optional<Clock::duration> wait;
    if (taken.found_every_worker_busy) wait = Clock::now() - taken.queued_at;
    saturation_ended = saturation.on_taken(wait, sockets.empty());
  }
  // The accept loop writes the closing line, so that it cannot overtake the opening line, which
  // the accept loop writes too.
  if (saturation_ended) wake_acceptor();
  return client_fd;
}

void TokenServer::wait_for_idle_pool() {
  token_base::MutexLock lock(&sockets_mutex);
  while (!stop.load() && idle_workers < static_cast<int>(served_sockets.size())) {
    // A stop, asked for in a signal handler, cannot notify: it is seen at the next look.
    pool_idle_cond.wait_until(&sockets_mutex,
                              Clock::now() + std::chrono::milliseconds(kAcceptPollMillis));
  }
}

void TokenServer::serve_connection(int worker, int client_fd) {
  UniqueFd owner(client_fd);  // the worker closes the connection, once, after the loop
  // A fresh, zeroed record per connection: nothing of an earlier connection can show through.
  token_connection conn = {};
  conn.client_fd = client_fd;
  conn.counters = &worker_counters[static_cast<size_t>(worker)];
  conn.trace.count_losses_in(&conn.counters->trace_lines_lost);
  conn.idle_mark = &idle_marks[static_cast<size_t>(worker)];
  conn.idle_from = Clock::now();
  process_connection(&conn);
  // Cleared before `owner` closes the descriptor, whose number the kernel may then hand on.
  token_base::MutexLock lock(&sockets_mutex);
  served_sockets[static_cast<size_t>(worker)] = -1;
  ++connections_finished;
}

void TokenServer::queue_socket(int client_fd) {
  Clock::time_point now = Clock::now();
  {
    token_base::MutexLock lock(&sockets_mutex);
    // Each idle worker takes one queued connection; any beyond them waits for a busy one.
    bool every_worker_busy = static_cast<int>(sockets.size()) >= idle_workers;
    sockets.push({client_fd, now, every_worker_busy});
    ++connections_accepted;
    if (every_worker_busy) ++connections_waited;
    saturation.on_queued(every_worker_busy, now);
  }
  // One descriptor needs one worker: waking them all would only send the rest back to sleep.
  // Notified after the unlock so that the woken worker does not block on the mutex at once.
  sockets_cond.notify_one();
  write_saturation_lines(now);
}

void TokenServer::give_up_idle_connections(Clock::time_point now) {
  const int64_t idle_before = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                  (now - timings.idle_give_up).time_since_epoch())
                                  .count();
  token_base::MutexLock lock(&sockets_mutex);
  // Connections no idle worker will take, less those a claimed connection's worker will.
  int unserved = static_cast<int>(sockets.size()) - idle_workers;
  struct Idle {
    int64_t since;
    size_t worker;
  };
  std::vector<Idle> idle;
  for (size_t worker = 0; unserved > 0 && worker < idle_marks.size(); ++worker) {
    int64_t since = idle_marks[worker].since.load(std::memory_order_relaxed);
    if (since == IdleMark::kClaimed) --unserved;
    if (since > 0 && since <= idle_before && served_sockets[worker] >= 0) {
      idle.push_back({since, worker});
    }
  }
  if (unserved <= 0 || idle.empty()) return;
  std::sort(idle.begin(), idle.end(),
            [](const Idle& a, const Idle& b) { return a.since < b.since; });
  for (const Idle& candidate : idle) {
    if (unserved == 0) break;
    int64_t since = candidate.since;
    // Fails when the worker has just received a request's first byte: it is busy again.
    if (!idle_marks[candidate.worker].since.compare_exchange_strong(since, IdleMark::kClaimed)) {
      continue;
    }
    // Its worker sees the end of the stream, and closes the connection: a client sees an idle
    // pooled connection closed, as if by a restart. Sending still works, for a request that came
    // just before the claim.
    ::shutdown(served_sockets[candidate.worker], SHUT_RD);
    ++idle_connections_closed;
    saturation.on_idle_closed();
    --unserved;
  }
}

void TokenServer::note_progress(Clock::time_point now) {
  auto nanos_of = [](Clock::time_point time) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch()).count();
  };
  accept_loop_turned_at.store(nanos_of(now), std::memory_order_relaxed);
  // Summed a few times a second at most: a burst of connections turns the loop far more often.
  if (now - worker_progress_summed_at < std::chrono::milliseconds(kAcceptPollMillis) / 2) return;
  worker_progress_summed_at = now;
  uint64_t progress = 0;
  for (const RequestCounters& worker : worker_counters) {
    progress += worker.handshakes.load(std::memory_order_relaxed) +
                worker.token_requests.load(std::memory_order_relaxed) +
                worker.parse_errors.load(std::memory_order_relaxed) +
                worker.refusals.load(std::memory_order_relaxed);
  }
  {
    token_base::MutexLock lock(&sockets_mutex);
    progress += connections_finished;
  }
  if (progress == worker_progress_seen && worker_progress_at.load() != 0) return;
  worker_progress_seen = progress;
  worker_progress_at.store(nanos_of(now), std::memory_order_relaxed);
}

void TokenServer::close_queued_sockets() {
  std::queue<QueuedSocket> unserved;
  {
    token_base::MutexLock lock(&sockets_mutex);
    unserved.swap(sockets);
  }
  sockets_cond.notify_all();  // wakes the idle workers, which find `stop` set
  for (; !unserved.empty(); unserved.pop()) ::close(unserved.front().fd);
}

void TokenServer::shut_down_served_sockets() {
  // Held across the calls: a worker clears its entry under the lock before closing, so every
  // descriptor shut down here is still the connection its worker serves.
  token_base::MutexLock lock(&sockets_mutex);
  for (int client_fd : served_sockets) {
    if (client_fd >= 0) ::shutdown(client_fd, SHUT_RDWR);
  }
}

}  // namespace token_server
