// The token server: listens on TCP port 6666 and serves token requests until SIGTERM or SIGINT;
// SIGUSR1 writes its figures on standard error. With STATE_DIRECTORY set, its buckets outlive it.
// `--version` and `--help` print and exit; any other command line is ignored.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "protocol/trace.h"
#include "server/TokenServer.h"

#ifndef TOKEN_SERVER_VERSION
#error "TOKEN_SERVER_VERSION must give the project's version"
#endif

namespace {

constexpr char kVersionLine[] = "token-server " TOKEN_SERVER_VERSION "\n";
constexpr char kHelp[] =
    "usage: token-server [--version | --help]\n"
    "\n"
    "Serves token requests on TCP port 6666 and HTTP (GET /metrics, GET /healthz) on port 9666,\n"
    "on every IPv4 address, until SIGTERM or SIGINT. Traces every request and reply on standard\n"
    "output; SIGUSR1 writes the server's figures on standard error. It takes no options: any\n"
    "other command line is ignored.\n"
    "\n"
    "  --version  prints the version\n"
    "  --help     prints this help\n";

// The text a command line of one of the two options asks for; null for any other, which the
// server ignores.
const char* requested_text(int argc, char* argv[]) {
  if (argc != 2) return nullptr;
  if (std::strcmp(argv[1], "--version") == 0) return kVersionLine;
  if (std::strcmp(argv[1], "--help") == 0) return kHelp;
  return nullptr;
}

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

int main(int argc, char* argv[]) {
  if (const char* text = requested_text(argc, argv)) {
    return std::fputs(text, stdout) >= 0 && std::fflush(stdout) == 0 ? 0 : 1;
  }
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
