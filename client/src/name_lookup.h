// NameLookup: a host name resolved off the calling thread, so that a call's wait for it is
// bounded by the call's own deadline like any other step, and a resolver that never answers
// holds no call past it.
//
// A numeric address is resolved at once, in the calling thread (no resolver is asked). A name
// is handed to getaddrinfo_a, whose notification thread writes an eventfd that the call polls
// with its sockets. A lookup given up before it answers is left to finish on its own: the
// notification thread frees it then.
//
// Threads: a NameLookup belongs to the thread that started it; its shared record is freed by
// whichever of that thread and the notification thread lets go of it last (an atomic count).
#pragma once

#include <netdb.h>

#include <cstdint>
#include <string>

namespace token_client {

class NameLookup {
 public:
  NameLookup() = default;
  ~NameLookup() { abandon(); }
  NameLookup(const NameLookup&) = delete;
  NameLookup& operator=(const NameLookup&) = delete;

  // Starts resolving `host` for TCP on `port`. Returns a getaddrinfo error code (0: started or
  // answered). Once answered (at once for a numeric address, else when fd() is readable),
  // take() gives the answer.
  int start(const std::string& host, uint16_t port);
  bool answered() const;
  // While not answered: the descriptor that becomes readable with the answer.
  int fd() const;
  // Once answered: the addresses (the caller frees them with freeaddrinfo) or a getaddrinfo
  // error code, which gai_strerror names.
  int take(addrinfo** addresses);
  // Gives up a lookup under way.
  void abandon();

 public:
  struct Shared;  // name_lookup.cpp; public for its notification function

 private:
  Shared* shared_ = nullptr;     // a lookup under way, or answered and not yet taken
  addrinfo* numeric_ = nullptr;  // a numeric address, resolved at once
  bool numeric_answered_ = false;
};

}  // namespace token_client
