// The token server: listens on TCP port 6666 and serves token requests until SIGTERM or SIGINT.
#include <signal.h>

#include "server/TokenServer.h"

namespace {

TokenServer* running_server = nullptr;  // set while the accept loop runs

extern "C" void stop_running_server(int) { running_server->request_stop(); }

void set_stop_handler(void (*handler)(int)) {
  struct sigaction action = {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
}

}  // namespace

int main() {
  TokenServer server;
  running_server = &server;
  set_stop_handler(stop_running_server);
  server.accept_connection();
  // The server is being taken down: later signals must not reach it.
  set_stop_handler(SIG_IGN);
  return 0;
}
