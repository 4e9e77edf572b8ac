// TokenServer: the one server object of the process.
//
// It owns the socket queue that feeds a fixed pool of worker threads, the client map with one
// token bucket per access key, and the locks that guard them. The main thread runs the accept
// loop (accept_connection); each worker takes one connection at a time from the queue, serves
// its requests until it ends (process_connection) and closes it.
//
// Locks: `sockets_mutex` guards `sockets` and `served_sockets`; `clients_mutex` is held to insert
// a client (a lookup takes no lock); each bucket's own mutex is held for a draw or a re-rate. No
// thread ever holds two of these locks at once, and none is held across a receive, a send or a
// trace write.
//
// Workers receive and send on blocking sockets, so a waiting worker costs nothing and a busy one
// makes no call beyond the receive, the send and the trace write. A stop reaches a worker that
// waits on its peer by shutting its connection down.
//
// Connection-level operations report by return value: a byte count, 0 for "no request", -1 for
// a failed receive or send. The caller then ends the connection quietly; no error text is ever
// sent to a client.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <queue>
#include <thread>
#include <vector>

#include "accounting/client_registry.h"
#include "protocol/token_connection.h"

constexpr uint16_t kServerPort = 6666;
constexpr int kListenBacklog = 128;
constexpr int kWorkerCount = 50;
constexpr int kAcceptPollMillis = 200;

class TokenServer {
 public:
  // Starts `worker_count` workers, each at once waiting on the empty socket queue. `port` is the
  // TCP port accept_connection listens on; 0 lets the kernel choose one (see bound_port).
  explicit TokenServer(uint16_t port = kServerPort, int worker_count = kWorkerCount);
  // Stops the server if it is still running and joins every worker.
  ~TokenServer();
  TokenServer(const TokenServer&) = delete;
  TokenServer& operator=(const TokenServer&) = delete;

  // Listens and runs the accept loop on the calling thread until request_stop; then closes the
  // listening socket and the connections no worker has taken yet.
  void accept_connection();
  // Opens the listening socket or ends the process with status 1.
  int listen_socket();
  // Adds O_NONBLOCK to fd. On failure closes fd, reports, and returns false.
  bool set_nonblocking(int fd);
  // Accepts one pending connection and queues it for the workers. Returns false, with errno set,
  // when accepting must pause because descriptors or memory have run out.
  bool produce_socket(int listen_fd);

  // Request framing: make one complete request ready at the front of req_buf.
  int getreq(token_connection* conn);
  int read_request(token_connection* conn, char* buf, int bufsiz, int* nread);
  int pull_data(token_connection* conn, char* dst, int size);
  static int reach_request_end(char* buf, int len);

  // The connection loop and its steps.
  void process_connection(token_connection* conn);
  bool isHeartbeat(token_connection* conn);
  void handshake(token_connection* conn);
  int reply_request(token_connection* conn);

  // Answers the token request at the front of req_buf and removes it.
  void consume_tokens(token_connection* conn);
  // Grants a client up to need_tokens whole tokens and re-rates its bucket for the next request.
  double grant_tokens(const char* accesskey, double need_tokens, double gen_rate,
                      double burst_size);
  // grant_tokens for a client whose bucket has been found already.
  double draw_tokens(BasicTokenBucket* bucket, double need_tokens, double gen_rate,
                     double burst_size);
  // Whether `accesskey` already has a bucket.
  bool is_known_client(const char* accesskey);
  // The bucket of `accesskey`, or nullptr for a key not seen yet. Takes no lock; a bucket never
  // moves or goes away while the server lives.
  BasicTokenBucket* find_client(const char* accesskey);

  // Asks the accept loop and every worker to end. Safe to call from a signal handler.
  void request_stop();
  // The port being listened on, once listening; 0 before.
  uint16_t bound_port() const { return bound_port_number.load(); }

 private:
  void run_worker(int worker);
  // Waits for a queued descriptor and publishes it as `worker`'s; -1 once the server stops.
  int take_socket(int worker);
  void serve_connection(int worker, int client_fd);
  void queue_socket(int client_fd);
  void close_queued_sockets();
  // Wakes every worker blocked on its connection: the stop's counterpart of a blocking receive.
  void shut_down_served_sockets();

  std::atomic<bool> stop;   // set by request_stop; read unlocked by the acceptor and the workers
  std::queue<int> sockets;  // accepted descriptors no worker has taken; under sockets_mutex
  ClientMap clients;        // lookups take no lock; insertions under clients_mutex
  std::condition_variable sockets_cond;  // one waiter per queued descriptor; all on stop
  std::mutex sockets_mutex;
  std::mutex clients_mutex;
  std::vector<std::thread> workers;  // the pool, started once by the constructor
  // The connection each worker serves, by worker, or -1. Under sockets_mutex, so that a stop
  // either finds a taken connection here or leaves it queued; a worker clears its entry before
  // it closes the descriptor, so a stop never shuts down a number the kernel has handed on.
  std::vector<int> served_sockets;

  const uint16_t listen_port;
  // Readable from the stop on, never drained: the accept loop's wait watches it beside the
  // listening socket.
  const int stop_fd;
  std::atomic<uint16_t> bound_port_number{0};
};
