// The listening socket and the accept loop, run on the main thread.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "protocol/trace.h"
#include "server/TokenServer.h"
#include "server/service_notify.h"
#include "server/unique_fd.h"

namespace token_server {

namespace {

[[noreturn]] void fail_listen_socket() {
  std::perror("listen socket");
  std::exit(1);
}

int set_int_option(int fd, int level, int name, long long value) {
  int option = static_cast<int>(value);
  return ::setsockopt(fd, level, name, &option, sizeof option);
}

// Set once on the listening socket: Linux copies these options to every socket accept returns,
// so a connection costs no system call for them.
bool set_dead_peer_probes(int fd, const ServerTimings& timings) {
  return set_int_option(fd, SOL_SOCKET, SO_KEEPALIVE, 1) == 0 &&
         set_int_option(fd, IPPROTO_TCP, TCP_KEEPIDLE, timings.keepalive_idle.count()) == 0 &&
         set_int_option(fd, IPPROTO_TCP, TCP_KEEPINTVL, timings.keepalive_interval.count()) == 0 &&
         set_int_option(fd, IPPROTO_TCP, TCP_KEEPCNT, timings.keepalive_probes) == 0 &&
         set_int_option(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, timings.user_timeout.count()) == 0;
}

// "accept: <reason>", as perror writes it, but through the trace's bounded writer: the accept loop
// must not hang on a standard error that nobody reads.
void report_accept_failure(int error) {
  trace_line(kErrorFd, std::string("accept: ") + std::strerror(error));
}

}  // namespace

int TokenServer::listen_socket() {
  ::signal(SIGPIPE, SIG_IGN);
  int fd = open_listening_socket(listen_port, kListenBacklog);
  // Set before the server says it listens, so that every client that waits for that word gets
  // the probes.
  if (fd < 0 || !set_dead_peer_probes(fd, timings)) fail_listen_socket();
  bound_port_number.store(local_port(fd));
  return fd;
}

int TokenServer::open_listening_socket(uint16_t port, int backlog) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  // A restart binds at once instead of waiting out the old connections in TIME_WAIT; Linux still
  // refuses a port on which another socket listens.
  int reuse = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(port);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd, backlog) != 0) {
    int error = errno;
    ::close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

uint16_t TokenServer::local_port(int fd) {
  sockaddr_in address = {};
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin_port);
}

void TokenServer::accept_connection() {
  start_keeping_state();  // a loaded key is known from the first request on
  wait_for_idle_pool();
  UniqueFd listener(listen_socket());
  note_progress(std::chrono::steady_clock::now());  // before /healthz is first asked
  start_metrics_endpoint();
  // Said once everything the server keeps open while it runs is open, so that whoever waits for
  // this line finds the server whole.
  trace_line(kTraceFd, "listen on port " + std::to_string(bound_port()));
  notify_ready();
  pollfd waits[2] = {{listener.get(), POLLIN, 0}, {wake_fd, POLLIN, 0}};
  while (!stop.load()) {
    waits[0].revents = 0;
    waits[1].revents = 0;
    int ready = ::poll(waits, 2, kAcceptPollMillis);
    if (waits[1].revents & POLLIN) handle_wake_up();
    std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now();
    note_progress(now);
    refresh_status(now);
    write_saturation_lines(now);
    if (ready > 0 && (waits[0].revents & POLLIN) && !accept_pending(listener.get())) {
      // Out of descriptors or memory: pause instead of spinning on the connection that stays
      // pending in the backlog; it is accepted once a descriptor frees.
      ::poll(&waits[1], 1, static_cast<int>(accept_backoff.next().count()));
    }
    give_up_idle_connections(std::chrono::steady_clock::now());
  }
  notify_stopping();  // here, not in the signal handler: sending is not async-signal-safe
  close_queued_sockets();
  shut_down_served_sockets();
}

bool TokenServer::accept_pending(int listen_fd) {
  for (int accepts = 0; accepts < kListenBacklog; ++accepts) {
    switch (produce_socket(listen_fd)) {
      case AcceptResult::kAcceptAgain:
        out_of_descriptors = false;
        accept_backoff.reset();
        break;
      case AcceptResult::kNonePending:
        return true;
      case AcceptResult::kExhausted:
        token_port_accept_errors.count(errno);
        if (!out_of_descriptors) report_accept_failure(errno);
        out_of_descriptors = true;
        return false;
    }
  }
  return true;
}

TokenServer::AcceptResult TokenServer::produce_socket(int listen_fd) {
  sockaddr_in peer = {};
  socklen_t peer_length = sizeof peer;
  int client_fd =
      ::accept4(listen_fd, reinterpret_cast<sockaddr*>(&peer), &peer_length, SOCK_CLOEXEC);
  if (client_fd < 0) {
    int error = errno;
    if (error == EAGAIN || error == EWOULDBLOCK) return AcceptResult::kNonePending;
    if (is_transient_accept_error(error)) return AcceptResult::kAcceptAgain;
    if (is_exhaustion_error(error)) {
      errno = error;
      return AcceptResult::kExhausted;
    }
    report_accept_failure(error);
    std::exit(1);
  }
  // The connection stays blocking: its worker waits inside the receive and the send.
  queue_socket(client_fd);
  return AcceptResult::kAcceptAgain;
}

}  // namespace token_server
