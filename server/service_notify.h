// Reports to the service manager that started the server (systemd's Type=notify): ready once the
// port listens, stopping once the stop begins, and a free-form status line.
//
// Each report is sent only when NOTIFY_SOCKET is set, as a service manager sets it; the variable
// is read once, so without it every call costs one test of a flag. None of these is safe in a
// signal handler: call them from an ordinary thread. Failures to send are ignored, since the
// manager's view of the server must never change what the server does.
#pragma once

#include <string_view>

namespace token_server {

// READY=1: the listening socket accepts connections.
void notify_ready();
// STOPPING=1: the server has begun its orderly stop.
void notify_stopping();
// STATUS=<status>: one line for `systemctl status`, say the load on the workers.
void notify_status(std::string_view status);

}  // namespace token_server
