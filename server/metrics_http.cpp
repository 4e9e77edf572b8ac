// The metrics endpoint's HTTP handling: libmicrohttpd parses the requests and sends the answers,
// polled from a thread of the endpoint's own, which accepts the connections and enforces their
// deadlines.
#include "server/metrics_http.h"

#include <microhttpd.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string_view>
#include <thread>

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

// The longest wait of the endpoint's thread when nothing is due: it looks at its deadlines this
// often at least.
constexpr int kLongestWaitMillis = 1000;

}  // namespace

MetricsEndpoint::MetricsEndpoint(int listen_fd, Pages pages, AcceptErrors* accept_errors)
    : pages_(std::move(pages)),
      accept_errors_(accept_errors),
      listen_fd_(listen_fd),
      wake_fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  connections_.reserve(kMetricsConnectionLimit);
}

std::unique_ptr<MetricsEndpoint> MetricsEndpoint::start(int listen_fd, Pages pages,
                                                        AcceptErrors* accept_errors) {
  std::unique_ptr<MetricsEndpoint> endpoint(
      new MetricsEndpoint(listen_fd, std::move(pages), accept_errors));
  // Called once the headers are read, then for each piece of a body, then once more at its end.
  MHD_AccessHandlerCallback answer =
      [](void* endpoint_pointer, MHD_Connection* connection, const char* url, const char* method,
         const char*, const char*, size_t* body_piece_size, void** request_state) {
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
          std::string problem = pages.health_problem();
          return problem.empty() ? answer_with(connection, MHD_HTTP_OK, "ok")
                                 : answer_with(connection, MHD_HTTP_SERVICE_UNAVAILABLE, problem);
        }
        return answer_with(connection, MHD_HTTP_OK, pages.metrics(), kMetricsType);
      };
  MHD_NotifyConnectionCallback opened_or_closed = [](void* endpoint_pointer,
                                                     MHD_Connection* connection, void**,
                                                     MHD_ConnectionNotificationCode code) {
    auto* endpoint = static_cast<MetricsEndpoint*>(endpoint_pointer);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
      endpoint->track(connection);
    } else {
      endpoint->untrack(connection);
    }
  };
  MHD_RequestCompletedCallback answered = [](void* endpoint_pointer, MHD_Connection* connection,
                                             void**, MHD_RequestTerminationCode) {
    static_cast<MetricsEndpoint*>(endpoint_pointer)->restart_deadline(connection);
  };
  // Polled from our thread (epoll, no thread of the library's own), connections added by us.
  if (endpoint->wake_fd_ >= 0) {
    endpoint->daemon_ = MHD_start_daemon(
        MHD_USE_EPOLL | MHD_USE_NO_LISTEN_SOCKET, 0, nullptr, nullptr, answer, endpoint.get(),
        MHD_OPTION_CONNECTION_LIMIT, kMetricsConnectionLimit, MHD_OPTION_PER_IP_CONNECTION_LIMIT,
        kMetricsConnectionsPerAddress, MHD_OPTION_NOTIFY_CONNECTION, opened_or_closed,
        endpoint.get(), MHD_OPTION_NOTIFY_COMPLETED, answered, endpoint.get(), MHD_OPTION_END);
  }
  if (endpoint->daemon_ == nullptr) return nullptr;  // the destructor closes the socket
  endpoint->thread_ = std::thread(&MetricsEndpoint::run, endpoint.get());
  return endpoint;
}

MetricsEndpoint::~MetricsEndpoint() {
  if (thread_.joinable()) {
    stopping_.store(true);
    uint64_t one = 1;
    ssize_t ignored = ::write(wake_fd_, &one, sizeof one);
    (void)ignored;
    thread_.join();
  }
  if (daemon_ != nullptr) MHD_stop_daemon(daemon_);  // closes the connections
  ::close(listen_fd_);
  if (wake_fd_ >= 0) ::close(wake_fd_);
}

void MetricsEndpoint::run() {
  const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_EPOLL_FD);
  pollfd waits[3] = {{wake_fd_, POLLIN, 0}, {info->epoll_fd, POLLIN, 0}, {listen_fd_, POLLIN, 0}};
  while (!stopping_.load()) {
    Clock::time_point now = Clock::now();
    // While accepting pauses, the listening socket is not polled: its pending connection would
    // make every wait return at once.
    nfds_t polled = now >= accept_resumes_at_ ? 3 : 2;
    for (pollfd& wait : waits) wait.revents = 0;
    ::poll(waits, polled, wait_millis(now));
    now = Clock::now();
    if (waits[2].revents & POLLIN) accept_pending(now);
    MHD_run(daemon_);
    shut_down_overdue(now);
  }
}

void MetricsEndpoint::accept_pending(Clock::time_point now) {
  // A limit per turn, so that a flood cannot keep the thread from its deadlines.
  for (unsigned accepts = 0; accepts < kMetricsConnectionLimit; ++accepts) {
    sockaddr_in peer = {};
    socklen_t peer_length = sizeof peer;
    int fd = ::accept4(listen_fd_, reinterpret_cast<sockaddr*>(&peer), &peer_length,
                       SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      int error = errno;
      if (is_transient_accept_error(error)) continue;
      if (is_exhaustion_error(error)) {
        accept_errors_->count(error);
        accept_resumes_at_ = now + backoff_.next();
      }
      return;  // none pending, or an error the next turn meets again
    }
    backoff_.reset();
    // Refused beyond the limits, whole or per address: the library closes it at once.
    MHD_add_connection(daemon_, fd, reinterpret_cast<sockaddr*>(&peer), peer_length);
  }
}

void MetricsEndpoint::shut_down_overdue(Clock::time_point now) {
  for (Tracked& tracked : connections_) {
    if (tracked.shut_down || tracked.deadline > now) continue;
    // The descriptor stays the library's, which sees the end at its next receive and closes it.
    ::shutdown(tracked.fd, SHUT_RDWR);
    tracked.shut_down = true;
  }
}

int MetricsEndpoint::wait_millis(Clock::time_point now) const {
  Clock::time_point due = now + std::chrono::milliseconds(kLongestWaitMillis);
  for (const Tracked& tracked : connections_) {
    if (!tracked.shut_down) due = std::min(due, tracked.deadline);
  }
  if (accept_resumes_at_ > now) due = std::min(due, accept_resumes_at_);
  auto millis = std::chrono::ceil<std::chrono::milliseconds>(due - now).count();
  MHD_UNSIGNED_LONG_LONG library_millis = 0;
  if (MHD_get_timeout(daemon_, &library_millis) == MHD_YES) {
    millis = std::min<long long>(millis, static_cast<long long>(library_millis));
  }
  return static_cast<int>(std::max<long long>(millis, 0));
}

void MetricsEndpoint::track(MHD_Connection* connection) {
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
  connections_.push_back(
      {connection, info->connect_fd, Clock::now() + kMetricsRequestDeadline, false});
}

void MetricsEndpoint::untrack(MHD_Connection* connection) {
  auto tracked = std::find_if(connections_.begin(), connections_.end(),
                              [&](const Tracked& t) { return t.connection == connection; });
  if (tracked == connections_.end()) return;
  *tracked = connections_.back();
  connections_.pop_back();
}

void MetricsEndpoint::restart_deadline(MHD_Connection* connection) {
  for (Tracked& tracked : connections_) {
    if (tracked.connection == connection) tracked.deadline = Clock::now() + kMetricsRequestDeadline;
  }
}

void MetricsEndpoint::pace() {
  // The wait holds up the endpoint's thread alone; requests meanwhile wait in their sockets.
  auto now = std::chrono::steady_clock::now();
  if (next_answer_ > now) std::this_thread::sleep_until(next_answer_);
  next_answer_ = std::max(now, next_answer_) + kMetricsAnswerInterval;
}

}  // namespace token_server
