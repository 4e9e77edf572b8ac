// The metrics endpoint's HTTP handling, on libmicrohttpd: one polling thread of its own (epoll),
// a few connections at once, idle ones timed out.
#include "server/metrics_http.h"

#include <microhttpd.h>
#include <unistd.h>

#include <algorithm>
#include <string_view>
#include <thread>

#include "server/TokenServer.h"

namespace token_server {

namespace {

constexpr std::string_view kMetricsPath = "/metrics";
constexpr std::string_view kHealthPath = "/healthz";
constexpr char kAllowedMethods[] = "GET, HEAD";
constexpr char kMetricsType[] = "text/plain; version=0.0.4; charset=utf-8";
constexpr char kTextType[] = "text/plain; charset=utf-8";

// Queues `body` with `status`; libmicrohttpd copies it and leaves it out of a HEAD answer.
MHD_Result answer_with(MHD_Connection* connection, unsigned status, std::string_view body,
                       const char* content_type = kTextType) {
  MHD_Response* response = MHD_create_response_from_buffer(
      body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) return MHD_NO;  // out of memory: the connection is closed
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, content_type);
  if (status == MHD_HTTP_METHOD_NOT_ALLOWED) {
    MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, kAllowedMethods);
  }
  MHD_Result queued = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return queued;
}

bool is_read_method(std::string_view method) {
  return method == MHD_HTTP_METHOD_GET || method == MHD_HTTP_METHOD_HEAD;
}

}  // namespace

std::unique_ptr<MetricsEndpoint> MetricsEndpoint::start(int listen_fd, Pages pages) {
  std::unique_ptr<MetricsEndpoint> endpoint(new MetricsEndpoint(std::move(pages)));
  // Called once the headers are read, then for each piece of a body, then once more at its end.
  MHD_AccessHandlerCallback answer = [](void* endpoint_pointer, MHD_Connection* connection,
                                        const char* url, const char* method, const char*,
                                        const char*, size_t* body_piece_size,
                                        void** request_state) {
    auto* endpoint = static_cast<MetricsEndpoint*>(endpoint_pointer);
    const Pages& pages = endpoint->pages_;
    std::string_view path = url;
    bool known_path = path == kMetricsPath || path == kHealthPath;
    if (*request_state == nullptr) {
      // Any other method is answered at once, which closes the connection: its body, however
      // long, is never read.
      if (!is_read_method(method)) {
        endpoint->pace();
        return known_path
                   ? answer_with(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "method not allowed")
                   : answer_with(connection, MHD_HTTP_NOT_FOUND, "not found");
      }
      // A GET or HEAD is answered at its end, so that the connection may serve another.
      *request_state = endpoint_pointer;
      return MHD_YES;
    }
    if (*body_piece_size != 0) {
      *body_piece_size = 0;  // dropped
      return MHD_YES;
    }
    endpoint->pace();
    if (!known_path) return answer_with(connection, MHD_HTTP_NOT_FOUND, "not found");
    if (path == kHealthPath) {
      return pages.healthy() ? answer_with(connection, MHD_HTTP_OK, "ok")
                             : answer_with(connection, MHD_HTTP_SERVICE_UNAVAILABLE, "stopping");
    }
    return answer_with(connection, MHD_HTTP_OK, pages.metrics(), kMetricsType);
  };
  endpoint->daemon_ = MHD_start_daemon(
      MHD_USE_EPOLL_INTERNAL_THREAD | MHD_USE_ITC, 0, nullptr, nullptr, answer, endpoint.get(),
      MHD_OPTION_LISTEN_SOCKET, listen_fd, MHD_OPTION_CONNECTION_LIMIT, kMetricsConnectionLimit,
      MHD_OPTION_PER_IP_CONNECTION_LIMIT, kMetricsConnectionsPerAddress,
      MHD_OPTION_CONNECTION_TIMEOUT, static_cast<unsigned>(kMetricsIdleTimeout.count()),
      MHD_OPTION_END);
  if (endpoint->daemon_ == nullptr) {
    ::close(listen_fd);  // the daemon closes it only once it has started
    return nullptr;
  }
  return endpoint;
}

MetricsEndpoint::~MetricsEndpoint() { MHD_stop_daemon(daemon_); }

void MetricsEndpoint::pace() {
  // The wait holds up the endpoint's thread alone; requests meanwhile wait in their sockets.
  auto now = std::chrono::steady_clock::now();
  if (next_answer_ > now) std::this_thread::sleep_until(next_answer_);
  next_answer_ = std::max(now, next_answer_) + kMetricsAnswerInterval;
}

}  // namespace token_server
