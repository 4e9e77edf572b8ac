// Baseline server: the floor that the token server's architecture reaches on this machine.
//
// The token server's shape without its work: the main thread accepts, a fixed pool of workers
// takes connections from a queue (a mutex and a condition variable), reads each connection with
// blocking receives and answers every CR LF-ended line with one fixed short reply. No JSON, no
// trace. It listens on 127.0.0.1 only, next to the token server (another port), and ends on
// SIGTERM or SIGINT like any process that does not catch them.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <queue>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "harness/loopback.h"
#include "protocol/token_connection.h"
#include "server/TokenServer.h"

namespace {

using token_server::kConnectionBufferSize;
using token_server::kListenBacklog;
using token_server::kWorkerCount;
using token_server::listen_on_loopback;
using token_server::send_all;

constexpr uint16_t kBaselinePort = 6667;
constexpr std::string_view kFixedReply = "OK\r\n";

// Accepted connections no worker has taken yet.
class SocketQueue {
 public:
  void push(int fd) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      sockets_.push(fd);
    }
    ready_.notify_one();
  }

  int pop() {
    std::unique_lock<std::mutex> lock(mutex_);
    ready_.wait(lock, [this] { return !sockets_.empty(); });
    int fd = sockets_.front();
    sockets_.pop();
    return fd;
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;  // signalled once per queued descriptor
  std::queue<int> sockets_;        // under mutex_
};

// Answers every complete line among the held bytes and keeps the partial one at the front.
// Returns false when a reply cannot be sent.
bool answer_lines(int fd, char* buffer, size_t* held) {
  std::string_view bytes(buffer, *held);
  size_t line_start = 0;
  for (size_t end; (end = bytes.find("\r\n", line_start)) != std::string_view::npos;) {
    if (!send_all(fd, kFixedReply)) return false;
    line_start = end + 2;
  }
  *held -= line_start;
  std::memmove(buffer, buffer + line_start, *held);
  return true;
}

void serve(int fd) {
  char buffer[kConnectionBufferSize];
  size_t held = 0;
  while (held < sizeof buffer) {
    ssize_t got = ::recv(fd, buffer + held, sizeof buffer - held, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    held += static_cast<size_t>(got);
    if (!answer_lines(fd, buffer, &held)) break;
  }
  ::close(fd);
}

void run_worker(SocketQueue* queue) {
  for (;;) serve(queue->pop());
}

int listen_loopback(uint16_t port) {
  int fd = listen_on_loopback(&port, kListenBacklog);
  if (fd < 0) {
    std::perror("baseline listen socket");
    std::exit(1);
  }
  return fd;
}

uint16_t port_from(int argc, char** argv) {
  if (argc == 1) return kBaselinePort;
  int port = argc == 3 && std::strcmp(argv[1], "--port") == 0 ? std::atoi(argv[2]) : 0;
  if (port <= 0 || port > 65535) {
    std::fprintf(stderr, "usage: baseline_server [--port P]   (default %u)\n", kBaselinePort);
    std::exit(1);
  }
  return static_cast<uint16_t>(port);
}

}  // namespace

int main(int argc, char** argv) {
  uint16_t port = port_from(argc, argv);
  ::signal(SIGPIPE, SIG_IGN);
  int listener = listen_loopback(port);
  SocketQueue queue;
  std::vector<std::thread> workers;
  for (int i = 0; i < kWorkerCount; ++i) workers.emplace_back(run_worker, &queue);
  std::printf("baseline listening on port %u\n", port);
  std::fflush(stdout);
  for (;;) {
    int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
      queue.push(fd);
    } else if (errno != EINTR && errno != ECONNABORTED) {
      std::perror("baseline accept");
      std::exit(1);
    }
  }
}
