// Runs before the tests that start the real binary: exits 0 when the server's port is free, and
// otherwise prints one line naming the process that holds it and exits 1, so that those tests
// are reported as not run instead of each failing without a reason.
#include <dirent.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "server/TokenServer.h"
#include "server/unique_fd.h"
#include "tests/support/server_process.h"

namespace token_server {
namespace {

constexpr char kTcpListenState[] = "0A";

// Whether the server could listen on the port now, opening it as the server does.
bool can_bind(uint16_t port, int* error) {
  UniqueFd probe(TokenServer::open_listening_socket(port, 1));
  if (probe.get() >= 0) return true;
  *error = errno;
  return false;
}

// The sockets listening on `port`, as a descriptor's link names them ("socket:[INODE]"), from the
// rows of /proc/net/tcp and tcp6: field 1 is the local address with the port in hexadecimal after
// the colon, field 3 the state, field 9 the socket's inode.
std::set<std::string> listening_sockets(uint16_t port) {
  constexpr size_t kLocalAddressField = 1, kStateField = 3, kInodeField = 9;
  char hex_port[8];
  std::snprintf(hex_port, sizeof hex_port, "%04X", port);
  const std::string port_suffix = std::string(":") + hex_port;
  std::set<std::string> sockets;
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::istringstream rows(read_file(table));
    std::string row;
    std::getline(rows, row);  // the heading
    while (std::getline(rows, row)) {
      std::istringstream words(row);
      std::vector<std::string> fields{std::istream_iterator<std::string>(words), {}};
      if (fields.size() <= kInodeField || fields[kStateField] != kTcpListenState) continue;
      const std::string& local = fields[kLocalAddressField];
      bool on_port =
          local.size() > port_suffix.size() &&
          local.compare(local.size() - port_suffix.size(), port_suffix.size(), port_suffix) == 0;
      if (on_port) sockets.insert("socket:[" + fields[kInodeField] + "]");
    }
  }
  return sockets;
}

// The command line of process `pid` on one line, blanks between its words, or its name when the
// command line is empty.
std::string command_of(const std::string& pid) {
  std::string command = read_file("/proc/" + pid + "/cmdline");
  while (!command.empty() && command.back() == '\0') command.pop_back();
  for (char& c : command) {
    if (c == '\0' || c == '\n') c = ' ';
  }
  if (!command.empty()) return command;
  command = read_file("/proc/" + pid + "/comm");
  if (!command.empty() && command.back() == '\n') command.pop_back();
  return command;
}

// Whether process `pid` has a descriptor open on one of `sockets`.
bool holds_any(const std::string& pid, const std::set<std::string>& sockets) {
  std::string fd_dir = "/proc/" + pid + "/fd";
  DIR* descriptors = ::opendir(fd_dir.c_str());
  if (descriptors == nullptr) return false;  // gone, or not ours to see
  bool holds = false;
  while (dirent* descriptor = ::readdir(descriptors)) {
    std::string link = fd_dir + "/" + descriptor->d_name;
    char target[64] = {};
    if (::readlink(link.c_str(), target, sizeof target - 1) > 0 && sockets.count(target) > 0) {
      holds = true;
      break;
    }
  }
  ::closedir(descriptors);
  return holds;
}

// "pid 4242 (/usr/local/bin/token-server)" for each process holding one of `sockets`, joined by
// ", "; empty when none can be seen.
std::string holders_of(const std::set<std::string>& sockets) {
  std::string holders;
  DIR* processes = ::opendir("/proc");
  if (processes == nullptr) return holders;
  while (dirent* process = ::readdir(processes)) {
    std::string pid = process->d_name;
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    if (!holds_any(pid, sockets)) continue;
    if (!holders.empty()) holders += ", ";
    holders += "pid " + pid + " (" + command_of(pid) + ")";
  }
  ::closedir(processes);
  return holders;
}

}  // namespace
}  // namespace token_server

int main() {
  using namespace token_server;
  PortLock lock;  // a server that a test started is gone once the lock is ours
  int error = 0;
  if (can_bind(kServerPort, &error)) return 0;
  std::string holders = holders_of(listening_sockets(kServerPort));
  if (holders.empty()) {
    std::printf("port %u cannot be bound: %s; free it to run the end-to-end tests\n", kServerPort,
                std::strerror(error));
  } else {
    std::printf("port %u is held by %s; stop it to run the end-to-end tests\n", kServerPort,
                holders.c_str());
  }
  return 1;
}
