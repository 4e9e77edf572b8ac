// Construction, the worker pool and the orderly stop of TokenServer.
#include "server/TokenServer.h"

#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "server/unique_fd.h"

namespace {

int make_stop_fd() {
  int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd < 0) {
    std::perror("eventfd");
    std::exit(1);
  }
  return fd;
}

}  // namespace

TokenServer::TokenServer(uint16_t port, int worker_count)
    : stop(false),
      served_sockets(static_cast<size_t>(worker_count), -1),
      listen_port(port),
      stop_fd(make_stop_fd()) {
  workers.reserve(static_cast<size_t>(worker_count));
  for (int i = 0; i < worker_count; ++i) workers.emplace_back(&TokenServer::run_worker, this, i);
}

TokenServer::~TokenServer() {
  request_stop();
  shut_down_served_sockets();
  sockets_cond.notify_all();
  for (std::thread& worker : workers) worker.join();
  close_queued_sockets();
  ::close(stop_fd);
}

void TokenServer::request_stop() {
  stop.store(true);
  // eventfd_write is a plain write(2): safe in a signal handler. The counter is never read, so
  // stop_fd stays readable and wakes every present and future wait on it.
  uint64_t one = 1;
  ssize_t ignored = ::write(stop_fd, &one, sizeof one);
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
  std::unique_lock<std::mutex> lock(sockets_mutex);
  sockets_cond.wait(lock, [this] { return stop.load() || !sockets.empty(); });
  if (stop.load()) return -1;
  int client_fd = sockets.front();
  sockets.pop();
  served_sockets[static_cast<size_t>(worker)] = client_fd;
  return client_fd;
}

void TokenServer::serve_connection(int worker, int client_fd) {
  UniqueFd owner(client_fd);  // the worker closes the connection, once, after the loop
  // A fresh, zeroed record per connection: nothing of an earlier connection can show through.
  token_connection conn = {};
  conn.client_fd = client_fd;
  conn.bufsiz = kConnectionBufferSize;
  process_connection(&conn);
  // Cleared before `owner` closes the descriptor, whose number the kernel may then hand on.
  std::lock_guard<std::mutex> lock(sockets_mutex);
  served_sockets[static_cast<size_t>(worker)] = -1;
}

void TokenServer::queue_socket(int client_fd) {
  {
    std::lock_guard<std::mutex> lock(sockets_mutex);
    sockets.push(client_fd);
  }
  // One descriptor needs one worker: waking them all would only send the rest back to sleep.
  // Notified after the unlock so that the woken worker does not block on the mutex at once.
  sockets_cond.notify_one();
}

void TokenServer::close_queued_sockets() {
  std::queue<int> unserved;
  {
    std::lock_guard<std::mutex> lock(sockets_mutex);
    unserved.swap(sockets);
  }
  sockets_cond.notify_all();  // wakes waiting workers, which now see `stop`
  for (; !unserved.empty(); unserved.pop()) ::close(unserved.front());
}

void TokenServer::shut_down_served_sockets() {
  // Held across the calls: a worker clears its entry under the lock before closing, so every
  // descriptor shut down here is still the connection its worker serves.
  std::lock_guard<std::mutex> lock(sockets_mutex);
  for (int client_fd : served_sockets) {
    if (client_fd >= 0) ::shutdown(client_fd, SHUT_RDWR);
  }
}
