// MetricsEndpoint: the HTTP side of the server, for Prometheus and for health checks.
//
// It answers on a thread of its own (libmicrohttpd's polling thread), never on a worker, so it
// answers while every worker is busy and takes no connection slot from token clients:
//   GET /metrics   200, `pages.metrics()` as Prometheus text format 0.0.4;
//   GET /healthz   200 "ok" while `pages.healthy()`, else 503 "stopping";
//   HEAD           the same without the body; any other method on those paths: 405;
//   any other path 404.
// It holds at most kMetricsConnectionLimit connections, kMetricsConnectionsPerAddress from one
// address, closes a connection idle for kMetricsIdleTimeout, and answers at most one request per
// kMetricsAnswerInterval (server/TokenServer.h).
//
// Thread safety: the page functions run on the endpoint's thread, one call at a time, beside the
// workers and the accept loop; they must take their own locks. Start and destruction happen on
// one thread.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

struct MHD_Daemon;

namespace token_server {

class MetricsEndpoint {
 public:
  struct Pages {
    std::function<std::string()> metrics;
    std::function<bool()> healthy;
  };

  // Serves `pages` on `listen_fd`, a listening socket it takes over. Returns nullptr, with the
  // socket closed, when the HTTP server cannot start.
  static std::unique_ptr<MetricsEndpoint> start(int listen_fd, Pages pages);
  // Stops answering, ends the connections and joins the thread; closes the listening socket.
  ~MetricsEndpoint();
  MetricsEndpoint(const MetricsEndpoint&) = delete;
  MetricsEndpoint& operator=(const MetricsEndpoint&) = delete;

 private:
  explicit MetricsEndpoint(Pages pages) : pages_(std::move(pages)) {}

  // Waits until the next answer is due, and sets the one after.
  void pace();

  Pages pages_;
  MHD_Daemon* daemon_ = nullptr;                         // owns the thread and the listening socket
  std::chrono::steady_clock::time_point next_answer_{};  // the endpoint's thread's only
};

}  // namespace token_server
