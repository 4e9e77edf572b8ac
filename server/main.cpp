// The token server: listens on TCP port 6666 and serves token requests until SIGTERM or SIGINT;
// SIGUSR1 writes its figures on standard error. With STATE_DIRECTORY set, its buckets outlive it.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "protocol/trace.h"
#include "server/TokenServer.h"

namespace {

token_server::TokenServer* running_server = nullptr;  // set while the accept loop runs

extern "C" void stop_running_server(int) { running_server->request_stop(); }
extern "C" void report_figures(int) { running_server->request_figures(); }

void set_stop_handler(void (*handler)(int)) {
  struct sigaction action = {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
}

void set_figures_handler(void (*handler)(int)) {
  struct sigaction action = {};
  action.sa_handler = handler;
  // Workers blocked in a receive or a send carry on as if nothing happened.
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  sigaction(SIGUSR1, &action, nullptr);
}

// A supervisor may start the server with standard input, output or error closed. The next
// descriptor opened would then take that number, and the trace or an error line would go to
// whatever it is: a client's connection, say. Each closed one is opened on /dev/null first.
void open_closed_standard_descriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    // open takes the lowest free number: this one, since those below it are open by now.
    if (::open("/dev/null", O_RDWR) != fd) {
      std::perror("open /dev/null");
      std::exit(1);
    }
  }
}

}  // namespace

int main() {
  open_closed_standard_descriptors();  // before any other descriptor is opened
  token_server::open_trace_outputs();  // before the workers start, as they write through them
  token_server::TokenServer server;
  // Set by systemd for a unit with StateDirectory=; unset, the server keeps no file.
  if (const char* state_directory = std::getenv("STATE_DIRECTORY");
      state_directory != nullptr && *state_directory != '\0') {
    server.keep_state_in(state_directory);
  }
  running_server = &server;
  set_stop_handler(stop_running_server);
  set_figures_handler(report_figures);
  server.accept_connection();
  // The server is being taken down: later signals must not reach it.
  set_stop_handler(SIG_IGN);
  set_figures_handler(SIG_IGN);
  return 0;
}
