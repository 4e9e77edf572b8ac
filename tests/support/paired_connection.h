// A connection record over one end of a socket pair, fresh as a worker builds one for an accepted
// connection; the test or fuzz target is the peer at the other end. Header only, so that the fuzz
// targets use it without the tests' libraries.
#pragma once

#include <sys/socket.h>

#include <memory>
#include <string>
#include <string_view>

#include "protocol/token_connection.h"
#include "server/unique_fd.h"

namespace token_server {

class PairedConnection {
 public:
  // SOCK_STREAM, or SOCK_SEQPACKET to have each send taken by a receive of its own.
  explicit PairedConnection(int type = SOCK_STREAM) : PairedConnection(socket_pair(type)) {}

  bool opened() const { return peer_.get() >= 0; }
  token_connection* conn() { return record_.get(); }
  int peer() const { return peer_.get(); }

  // Sends `bytes` from the peer at once; false when they do not all fit in the socket.
  bool peer_sends(std::string_view bytes) {
    return ::send(peer(), bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
  }
  // What the peer can read now, without waiting.
  std::string peer_receives() {
    std::string received;
    char chunk[4096];
    for (ssize_t n; (n = ::recv(peer(), chunk, sizeof chunk, MSG_DONTWAIT)) > 0;) {
      received.append(chunk, static_cast<size_t>(n));
    }
    return received;
  }
  void close_peer() { ::close(peer_.release()); }

 private:
  struct Ends {
    int served;
    int peer;
  };
  static Ends socket_pair(int type) {
    int ends[2] = {-1, -1};
    if (::socketpair(AF_UNIX, type | SOCK_CLOEXEC, 0, ends) != 0) return {-1, -1};
    return {ends[0], ends[1]};
  }
  explicit PairedConnection(Ends ends)
      : served_(ends.served), peer_(ends.peer), record_(std::make_unique<token_connection>()) {
    record_->client_fd = ends.served;
  }

  UniqueFd served_;  // the record's client_fd
  UniqueFd peer_;
  std::unique_ptr<token_connection> record_;  // zeroed, as a worker's is
};

}  // namespace token_server
