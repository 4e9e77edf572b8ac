// TokenServer: the one server object of the process.
//
// It owns the socket queue that feeds a fixed pool of worker threads, the client map with one
// token bucket per access key, and the locks that guard them. The main thread runs the accept
// loop (accept_connection); each worker takes one connection at a time from the queue, serves
// its requests until it ends (process_connection) and closes it.
//
// Locks: `sockets_mutex` guards the socket queue and the pool's bookkeeping beside it;
// the client map's own mutex is held to insert a client (a lookup takes no lock); each bucket's own
// mutex is held for a draw or a re-rate. No thread ever holds two of these locks at once, and none
// is held across a receive, a send or a trace write. clang checks at compile time that each field
// tagged GUARDED_BY is touched only under its lock, and each function tagged REQUIRES is called
// under it.
//
// Beside them, the metrics endpoint answers HTTP on a thread of its own (server/metrics_http.h),
// so that it answers while every worker is busy; it reads the figures, never a connection. With
// STATE_DIRECTORY set, a thread of its own writes the buckets to disk each second in which
// requests came (server/state_store.h): it reads one bucket at a time under that bucket's mutex,
// finds them through the client index without the map's mutex, and waits on `state_mutex`
// alone, which guards only its stop flag.
//
// Workers receive and send on blocking sockets, so a waiting worker costs nothing and a busy one
// makes no call beyond the receive, the send and the trace write. A stop reaches a worker that
// waits on its peer by shutting its connection down; so does the accept loop, for a connection
// idle for kIdleGiveUp, when another connection waits for a worker (give_up_idle_connections).
//
// The server's code (server/, protocol/, accounting/) is in namespace token_server.
//
// Connection-level operations report by return value: a byte count, 0 for "no request", -1 for
// a failed receive; reply_request says "no reply", "sent" and "send failed" apart. The caller then
// ends the connection quietly; no error text is ever sent to a client.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <queue>
#include <string>
#include <thread>
#include <vector>

#include "accounting/client_registry.h"
#include "base/mutex.h"
#include "protocol/token_connection.h"
#include "server/accept_errors.h"
#include "server/figures.h"
#include "server/saturation.h"
#include "server/unique_fd.h"

namespace token_server {

constexpr uint16_t kServerPort = 6666;
// HTTP for Prometheus (/metrics) and health checks (/healthz), on every IPv4 address.
constexpr uint16_t kMetricsPort = 9666;
constexpr int kListenBacklog = 128;  // connections the kernel holds until they are accepted
constexpr int kWorkerCount = 50;     // connections served at once; more wait in the queue
// The accept loop's longest wait for a connection or a wake-up.
constexpr int kAcceptPollMillis = 200;
// A pool at the edge of its capacity has a spell of waiting connections every few milliseconds:
// after a spell's own two lines, those that begin within this long of the last line are summed
// up in one line when it has passed.
constexpr std::chrono::seconds kSaturationSummaryInterval{10};

class MetricsEndpoint;
class StateStore;

// A peer whose host crashed or left the network sends no FIN and no RST: without probes its
// connection would hold a worker until the server restarts. The kernel probes a connection idle
// for kKeepaliveIdle, then every kKeepaliveInterval, and ends it after kKeepaliveProbes probes go
// unanswered; kUserTimeout also ends it when a reply stays unacknowledged, or unread behind a
// closed receive window, that long (the peer vanished, or stopped reading, while a reply was on
// its way). A dead peer thus frees its worker within a minute, while a live peer answers every
// probe and keeps its connection however long it idles: pooled clients hold idle connections by
// design. A probe is one small packet each way.
constexpr std::chrono::seconds kKeepaliveIdle{30};
constexpr std::chrono::seconds kKeepaliveInterval{10};
constexpr int kKeepaliveProbes = 3;
constexpr std::chrono::milliseconds kUserTimeout =
    kKeepaliveIdle + kKeepaliveProbes * kKeepaliveInterval;

// A connection idle this long, holding no byte of a request, gives its worker up to a connection
// that waits for one; while none waits, idle connections are kept however long they idle.
constexpr std::chrono::seconds kIdleGiveUp{10};

// The timings above, which a test may shorten; a server otherwise runs with these defaults.
struct ServerTimings {
  std::chrono::seconds keepalive_idle = kKeepaliveIdle;
  std::chrono::seconds keepalive_interval = kKeepaliveInterval;
  int keepalive_probes = kKeepaliveProbes;
  std::chrono::milliseconds user_timeout = kUserTimeout;
  std::chrono::seconds saturation_summary_interval = kSaturationSummaryInterval;
  std::chrono::milliseconds idle_give_up = kIdleGiveUp;
};

// Each group of members below names the file that defines it.
struct TokenEntry;
struct ParsedTokenRequest;

class TokenServer {
 public:
  // ---- The worker pool and the orderly stop (server/TokenServer.cpp)

  // Starts `worker_count` workers, each at once waiting on the empty socket queue. `port` is the
  // TCP port accept_connection listens on; 0 lets the kernel choose one (see bound_port).
  // `metrics_port` is where accept_connection serves the metrics endpoint, 0 for a port the
  // kernel chooses (see bound_metrics_port); nullopt for no endpoint.
  explicit TokenServer(uint16_t port = kServerPort, int worker_count = kWorkerCount,
                       std::optional<uint16_t> metrics_port = kMetricsPort,
                       ServerTimings timings = ServerTimings());
  // Stops the server if it is still running and joins every worker.
  ~TokenServer();
  TokenServer(const TokenServer&) = delete;
  TokenServer& operator=(const TokenServer&) = delete;
  // Asks the accept loop and every worker to end. Safe to call from a signal handler.
  void request_stop();

  // ---- Durable state (server/state_keeping.cpp)

  // Keeps the buckets in `directory`: accept_connection loads them before it listens, a thread
  // writes them each second in which requests come, and the stop writes them last.
  // Call before accept_connection.
  void keep_state_in(const std::string& directory);

  // ---- The listening socket and the accept loop (server/listener.cpp)

  // Once every worker waits for a connection, listens and runs the accept loop on the calling
  // thread until request_stop; then closes the listening socket and the connections no worker has
  // taken yet.
  void accept_connection();
  // Opens the listening socket, whose dead-peer probes every accepted connection inherits, or
  // ends the process with status 1.
  int listen_socket();
  // A socket listening on every IPv4 address at `port` (0: the kernel picks one), non-blocking,
  // or -1 with errno set.
  static int open_listening_socket(uint16_t port, int backlog);
  // The port the listening socket `fd` is bound to.
  static uint16_t local_port(int fd);
  // Accepts the connections pending, a backlog's worth at most so that a flood cannot keep the
  // accept loop from its wake-ups. Returns false when accepting must pause because descriptors
  // or memory have run out, which it reports once until an accept succeeds again.
  bool accept_pending(int listen_fd);
  // What one accept leaves to do: accept again, wait for a connection, or pause (errno set).
  enum class AcceptResult { kAcceptAgain, kNonePending, kExhausted };
  // Accepts one pending connection and queues it for the workers.
  AcceptResult produce_socket(int listen_fd);
  // The port being listened on, once listening; 0 before. Defined here.
  uint16_t bound_port() const { return bound_port_number.load(); }

  // ---- Request framing (protocol/framing.cpp): one complete request at req_start

  // Reads until a request is held at req_start and sets req_len to its length, which it returns;
  // 0 when none can be had: the peer closed, a receive failed, or the buffer is full without a
  // CR LF.
  int getreq(token_connection* conn);
  // Moves the held bytes, which hold no request, to the front and receives after them until they
  // do: the request's length, or 0 as getreq says.
  int receive_request(token_connection* conn);
  // One receive of at most `size` bytes into `dst`: the count received (> 0), or -1 when the peer
  // closed, the receive failed or a stop shut the connection down.
  int pull_data(token_connection* conn, char* dst, int size);
  // The length of the first request held in buf[0, len): the bytes up to and including the first
  // CR LF pair, or 0 when no CR LF lies wholly within them (also for a null buf or len < 2).
  static int reach_request_end(char* buf, int len);

  // ---- The connection loop and its steps (protocol/connection_loop.cpp)

  // Answers the connection's requests one at a time until none can be had, a send fails or the
  // server stops. Leaves the descriptor open: its worker closes it.
  void process_connection(token_connection* conn);
  // One request's life, the one step of process_connection: reads the request, answers it (the
  // handshake or a token request), sends the reply and drops the request. False when the
  // connection ends: no request could be read, or the reply could not be sent.
  bool serve_request(token_connection* conn);
  // Whether the request at req_start is exactly the handshake line.
  bool isHeartbeat(token_connection* conn);
  // Puts the handshake reply in reply_buf.
  void handshake(token_connection* conn);
  // What became of a reply: there was none, it was sent whole, or the send failed.
  enum class ReplyResult { kNoReply, kSent, kSendFailed };
  // Writes the request's trace lines, then sends reply_buf.
  ReplyResult reply_request(token_connection* conn);

  // ---- Token requests (protocol/connection_loop.cpp)

  // How a client's first request finds its new bucket: full, and granted its whole need; or
  // empty, filling at its rate from now (a request a client sends to a fallback server).
  enum class NewClientStart { kFull, kEmpty };

  // Answers the token request at req_start, read in place: reads it, finds every entry's bucket,
  // checks it, grants its entries in order, then writes the reply to reply_buf; no reply when the
  // request is refused.
  void consume_tokens(token_connection* conn);
  // The bucket of each entry's key, entry by entry, into `buckets`: nullptr for a key without
  // one yet. The keys are looked up together, so that their cache misses overlap.
  void find_buckets(const ParsedTokenRequest& request, BasicTokenBucket* buckets[]);
  // Grants one checked entry: from `bucket`, found for it before the check, or through
  // grant_tokens when there was none (an earlier entry or another worker may have added it since).
  // Fills `detail` when given; `start` says how a key new here begins.
  double grant_entry(const TokenEntry& entry, BasicTokenBucket* bucket, DrawDetail* detail,
                     NewClientStart start);

  // ---- The client registry (accounting/client_registry.cpp)

  // Grants a client up to need_tokens whole tokens and re-rates its bucket for the next request.
  // With `detail`, also tells what the bucket holds after the grant and when to come back.
  double grant_tokens(const char* accesskey, double need_tokens, double gen_rate, double burst_size,
                      DrawDetail* detail = nullptr, NewClientStart start = NewClientStart::kFull);
  // grant_tokens for a client whose bucket has been found already.
  double draw_tokens(BasicTokenBucket* bucket, double need_tokens, double gen_rate,
                     double burst_size, DrawDetail* detail = nullptr);
  // The bucket of `accesskey`, or nullptr for a key not seen yet. Takes no lock; a bucket never
  // moves or goes away while the server lives.
  BasicTokenBucket* find_client(const char* accesskey);
  // Clients known so far.
  size_t known_clients();

  // ---- Figures (server/figures.cpp)

  // Asks the accept loop to write the server's figures on standard error. Safe to call from a
  // signal handler.
  void request_figures();
  // The counts and gauges now, summed over the workers. Any thread may ask.
  Figures figures() EXCLUDES(sockets_mutex);
  // One line of the figures the table names for it, in its order, as
  // "figures: uptime_s=12 connections_accepted=3 ..." (server/figure_table.h).
  std::string figures_line() EXCLUDES(sockets_mutex);
  // A short line for a service manager's status: busy workers, queued connections, keys.
  std::string status_line() EXCLUDES(sockets_mutex);

  // ---- The metrics endpoint (server/metrics.cpp)

  // The port the metrics endpoint listens on, once it does; 0 before, and when there is none.
  uint16_t bound_metrics_port() const { return bound_metrics_port_number.load(); }

  // ---- For tests only: what the server itself never asks

  // Whether `accesskey` already has a bucket (accounting/client_registry.cpp).
  bool is_known_client(const char* accesskey);

 private:
  // An accepted connection that waits for a worker.
  struct QueuedSocket {
    int fd;
    std::chrono::steady_clock::time_point queued_at;
    bool found_every_worker_busy;  // no idle worker was left for it when it was queued
  };

  // ---- The worker pool and the socket queue (server/TokenServer.cpp)

  // A worker's thread: takes and serves one connection after another until the server stops.
  void run_worker(int worker);
  // Waits for a queued descriptor and publishes it as `worker`'s; -1 once the server stops.
  int take_socket(int worker) EXCLUDES(sockets_mutex);
  // Waits until every worker waits for a connection, or the server stops. The accept loop listens
  // only then: a connection that came sooner would find a worker not yet waiting, and count as
  // one that waited because every worker was busy.
  void wait_for_idle_pool() EXCLUDES(sockets_mutex);
  // Serves one connection to its end and closes it.
  void serve_connection(int worker, int client_fd) EXCLUDES(sockets_mutex);
  // Queues an accepted connection for the workers, and writes the saturation line that begins.
  void queue_socket(int client_fd) EXCLUDES(sockets_mutex);
  // Closes the connections no worker has taken and wakes the idle workers to see the stop.
  void close_queued_sockets() EXCLUDES(sockets_mutex);
  // Shuts down every connection a worker serves, which ends a receive or send it is blocked in.
  void shut_down_served_sockets() EXCLUDES(sockets_mutex);
  // Wakes the accept loop's wait, to write a line or to stop. Safe in a signal handler.
  void wake_acceptor();
  // While connections wait with no worker to take them, closes as many connections idle for
  // timings.idle_give_up, the longest idle first: each one's worker then takes a waiting one.
  void give_up_idle_connections(std::chrono::steady_clock::time_point now) EXCLUDES(sockets_mutex);
  // Notes that the accept loop turns, and when the workers last finished a request or a
  // connection, for /healthz.
  void note_progress(std::chrono::steady_clock::time_point now) EXCLUDES(sockets_mutex);

  // ---- The metrics endpoint (server/metrics.cpp)

  // Starts serving the metrics endpoint, if one was asked for. When its port cannot be bound,
  // says so in one line on standard error and goes on without it.
  void start_metrics_endpoint();
  // Why /healthz answers 503: a stop has begun, the accept loop stalls, or connections wait while
  // no worker gets on; empty while healthy.
  std::string health_problem() EXCLUDES(sockets_mutex);
  // What /metrics answers: the figures and the process's own, in Prometheus text format.
  std::string metrics_text() EXCLUDES(sockets_mutex);

  // ---- Durable state (server/state_keeping.cpp)

  // Loads the state file, if the state is kept, and starts the thread that writes it.
  void start_keeping_state();
  // Ends the writing thread and writes the state a last time, after the workers have ended.
  void stop_keeping_state() EXCLUDES(state_mutex);
  // The writing thread: a write each interval in which token requests were answered.
  void run_state_writer() EXCLUDES(state_mutex);
  // Token requests answered so far: the state may have changed when this has.
  uint64_t state_changes() const;

  // ---- The accept loop's chores between connections (server/figures.cpp)

  // Drains the wake-up descriptor and writes the lines asked for: a spell's end, the figures.
  void handle_wake_up();
  // Sends the status line to a service manager every kStatusRefreshInterval.
  void refresh_status(std::chrono::steady_clock::time_point now);
  // Writes the saturation lines due at `now` on standard error.
  void write_saturation_lines(std::chrono::steady_clock::time_point now) EXCLUDES(sockets_mutex);

  // Fields, by the lock or the thread that guards them.

  // Set by the constructor and never changed: any thread reads them.
  const uint16_t listen_port;
  const std::optional<uint16_t> metrics_port;
  const ServerTimings timings;
  const std::chrono::steady_clock::time_point started_at;
  // Wakes the accept loop's wait: written by request_stop, request_figures and the worker that
  // ends a saturation spell; drained by the accept loop.
  const int wake_fd;
  std::vector<std::thread> workers;  // the pool, started by the constructor, joined by the stop

  // Read and written by any thread without a lock.
  std::atomic<bool> stop;  // set by request_stop; read by the acceptor and the workers
  std::atomic<uint16_t> bound_port_number{0};
  std::atomic<uint16_t> bound_metrics_port_number{0};
  std::atomic<bool> figures_requested{false};
  // Steady-clock nanoseconds: when the accept loop last turned, and when it last saw the workers
  // finish a request or a connection. Written by the accept loop, read by /healthz.
  std::atomic<int64_t> accept_loop_turned_at{0};
  std::atomic<int64_t> worker_progress_at{0};
  // Accepts that failed for want of descriptors or memory, by port: counted by the accept loop
  // and the metrics endpoint's thread, read by /metrics.
  AcceptErrors token_port_accept_errors;
  AcceptErrors metrics_port_accept_errors;

  // Guarded by sockets_mutex: the socket queue and the pool's bookkeeping beside it.
  token_base::Mutex sockets_mutex;
  // Accepted connections that no worker has taken yet.
  std::queue<QueuedSocket> sockets GUARDED_BY(sockets_mutex);
  token_base::CondVar sockets_cond;    // one waiter per queued descriptor; all on stop
  token_base::CondVar pool_idle_cond;  // every worker waits for a connection
  // The connection each worker serves, by worker, or -1: a stop either finds a taken connection
  // here or leaves it queued; a worker clears its entry before it closes the descriptor, so a
  // stop never shuts down a number the kernel has handed on.
  std::vector<int> served_sockets GUARDED_BY(sockets_mutex);
  int idle_workers GUARDED_BY(sockets_mutex) = 0;  // workers waiting for a connection
  Saturation saturation GUARDED_BY(sockets_mutex);
  uint64_t connections_accepted GUARDED_BY(sockets_mutex) = 0;
  uint64_t connections_waited GUARDED_BY(sockets_mutex) = 0;  // found every worker busy
  uint64_t connections_finished GUARDED_BY(sockets_mutex) = 0;
  uint64_t idle_connections_closed GUARDED_BY(sockets_mutex) = 0;  // for waiting connections

  // Guarded by the map's own mutex for insertions; lookups take no lock.
  ClientMap clients;

  // By worker, each record written by its worker alone.
  // Whether the worker's connection is idle: claimed by the accept loop with a compare-and-swap.
  std::vector<IdleMark> idle_marks;
  // What the worker has done; summed, with relaxed loads, by whoever asks for the figures.
  std::vector<RequestCounters> worker_counters;

  // Read and written by the accept loop alone.
  bool out_of_descriptors = false;  // the last accept failed for want of descriptors or memory
  AcceptBackoff accept_backoff;
  uint64_t worker_progress_seen = 0;  // requests and connections finished, as last summed
  std::chrono::steady_clock::time_point worker_progress_summed_at{};
  std::chrono::steady_clock::time_point last_status_refresh{};

  // The metrics endpoint. Set by the accept loop; stopped by the destructor once the workers are
  // joined, so that /healthz answers 503 for as long as the stop lasts.
  std::unique_ptr<MetricsEndpoint> metrics_endpoint;
  // Opened, and the start time read, when the metrics endpoint starts: reading the process's
  // figures then needs no free descriptor. Read only on the endpoint's thread.
  UniqueFd open_fds_listing;
  UniqueFd memory_figures;
  uint64_t start_time_nanos = 0;  // since the Unix epoch

  // Durable state. Set by keep_state_in, before the workers serve; null when no state is kept.
  std::unique_ptr<StateStore> state_store;
  std::thread state_writer;  // runs from start_keeping_state to stop_keeping_state
  // state_changes() at the last write that succeeded; written by the writing thread, then read by
  // the stop once that thread has ended.
  uint64_t state_written_changes = 0;
  // Guarded by state_mutex: the writing thread's stop.
  token_base::Mutex state_mutex;
  token_base::CondVar state_writer_cond;  // wakes the writing thread for the stop
  bool state_writer_stopping GUARDED_BY(state_mutex) = false;
};

}  // namespace token_server
