#include "server/service_notify.h"

#include <systemd/sd-daemon.h>

#include <cstdlib>
#include <string>

namespace token_server {

namespace {

bool notifying() {
  static const bool has_notify_socket = std::getenv("NOTIFY_SOCKET") != nullptr;
  return has_notify_socket;
}

void notify(const char* state) {
  if (notifying()) sd_notify(0, state);
}

}  // namespace

void notify_ready() { notify("READY=1"); }

void notify_stopping() { notify("STOPPING=1"); }

void notify_status(std::string_view status) {
  if (!notifying()) return;
  std::string state = "STATUS=";
  state.append(status);
  sd_notify(0, state.c_str());
}

}  // namespace token_server
