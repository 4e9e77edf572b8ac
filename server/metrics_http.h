// MetricsEndpoint: the HTTP side of the server, for Prometheus and for health checks.
//
// It answers on a thread of its own, never on a worker, so it answers while every worker is busy
// and takes no connection slot from token clients:
//   GET /metrics   200, `pages.metrics()` as Prometheus text format 0.0.4;
//   GET /healthz   200 "ok" while `pages.health_problem()` is empty, else 503 with the problem;
//   HEAD           the same without the body; any other method on those paths: 405;
//   any other path 404.
//
// A slow or idle client cannot shut others out. The thread accepts connections itself and hands
// them to libmicrohttpd, which parses HTTP; the library's own timeout restarts with every byte,
// so a client trickling a byte a second would keep its connection for ever. Instead each
// connection must deliver a whole request within kMetricsRequestDeadline of connecting or of its
// last reply, or it is shut down. At most kMetricsConnectionsPerAddress connections come from one
// address, and kMetricsConnectionLimit leaves room beyond kMetricsAddressesServed addresses that
// hold their share: a new address is always let in. Accepting pauses (AcceptBackoff) when
// descriptors run out, and is counted in `accept_errors`, instead of spinning on the connection
// left pending. At most one request is answered per kMetricsAnswerInterval.
//
// Thread safety: the page functions run on the endpoint's thread, one call at a time, beside the
// workers and the accept loop; they must take their own locks. The tracked connections and the
// accept pauses belong to the endpoint's thread. Start and destruction happen on one thread.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "server/accept_errors.h"

struct MHD_Daemon;
struct MHD_Connection;

namespace token_server {

// The metrics endpoint holds at most this many HTTP connections from one address, and room for
// that many from one address more than kMetricsAddressesServed: clients from that many addresses
// that each hold their share, slow or idle, leave room for a health check from another. So HTTP
// takes at most kMetricsConnectionLimit descriptors, and three of its own (listening socket,
// epoll, wake-up), never a worker. A connection that has not delivered a whole request this long
// after connecting, or after its last reply, is closed: a deadline, which a trickle of bytes
// does not push back.
constexpr unsigned kMetricsConnectionsPerAddress = 4;
constexpr unsigned kMetricsAddressesServed = 16;
constexpr unsigned kMetricsConnectionLimit =
    (kMetricsAddressesServed + 1) * kMetricsConnectionsPerAddress;
constexpr std::chrono::seconds kMetricsRequestDeadline{2};
// The endpoint answers at most one request in this interval (100 a second, where Prometheus
// and health checks ask a few times a minute); a flood of requests waits its turn, so that it
// takes a bounded share of one core from the workers.
constexpr std::chrono::milliseconds kMetricsAnswerInterval{10};

class MetricsEndpoint {
 public:
  struct Pages {
    std::function<std::string()> metrics;
    std::function<std::string()> health_problem;  // empty while healthy
  };

  // Serves `pages` on `listen_fd`, a listening socket it takes over, counting the accepts that
  // fail for want of descriptors in `accept_errors`. Returns nullptr, with the socket closed, when
  // the HTTP server cannot start.
  static std::unique_ptr<MetricsEndpoint> start(int listen_fd, Pages pages,
                                                AcceptErrors* accept_errors);
  // Stops answering, ends the connections and joins the thread; closes the listening socket.
  ~MetricsEndpoint();
  MetricsEndpoint(const MetricsEndpoint&) = delete;
  MetricsEndpoint& operator=(const MetricsEndpoint&) = delete;

 private:
  using Clock = std::chrono::steady_clock;

  // A connection and when it must have delivered its next request.
  struct Tracked {
    MHD_Connection* connection;
    int fd;
    Clock::time_point deadline;
    bool shut_down;
  };

  MetricsEndpoint(int listen_fd, Pages pages, AcceptErrors* accept_errors);

  // The endpoint's thread: waits for connections, requests and deadlines until the stop.
  void run();
  // Accepts the connections pending and hands them to the library, which refuses those beyond
  // its limits; pauses accepting when descriptors have run out.
  void accept_pending(Clock::time_point now);
  // Shuts down the connections whose deadline has passed; the library then closes them.
  void shut_down_overdue(Clock::time_point now);
  // The longest wait before something is due: a deadline, the library's timeout, the end of a
  // pause in accepting.
  int wait_millis(Clock::time_point now) const;
  void track(MHD_Connection* connection);
  void untrack(MHD_Connection* connection);
  // A reply was sent: the next request is due within the deadline from now.
  void restart_deadline(MHD_Connection* connection);
  // Waits until the next answer is due, and sets the one after.
  void pace();

  Pages pages_;
  AcceptErrors* accept_errors_;
  const int listen_fd_;
  const int wake_fd_;             // written by the destructor to end the thread's wait
  MHD_Daemon* daemon_ = nullptr;  // polled by the endpoint's thread
  std::atomic<bool> stopping_{false};
  std::vector<Tracked> connections_;  // at most kMetricsConnectionLimit
  AcceptBackoff backoff_;
  Clock::time_point accept_resumes_at_{};
  Clock::time_point next_answer_{};
  std::thread thread_;
};

}  // namespace token_server
