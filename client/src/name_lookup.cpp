#include "name_lookup.h"

#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>

namespace token_client {

// What the calling thread and the lookup thread share; the last to let go frees it.
struct NameLookup::Shared {
  std::string host;
  std::string port;
  addrinfo* result = nullptr;  // written by the lookup thread before it writes ready_fd
  int error = 0;
  int ready_fd = -1;  // eventfd, written once the answer is in
  std::atomic<int> holders{2};
};

namespace {

addrinfo tcp_hints(int flags) {
  addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV | flags;
  return hints;
}

void let_go(NameLookup::Shared* shared) {
  if (shared->holders.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  if (shared->result != nullptr) ::freeaddrinfo(shared->result);
  ::close(shared->ready_fd);
  delete shared;
}

void* resolve(void* argument) {
  auto* shared = static_cast<NameLookup::Shared*>(argument);
  addrinfo hints = tcp_hints(0);
  shared->error =
      ::getaddrinfo(shared->host.c_str(), shared->port.c_str(), &hints, &shared->result);
  if (shared->error != 0) shared->result = nullptr;
  uint64_t one = 1;
  // An eventfd write of 8 bytes cannot fall short; the reader sees the answer after it.
  [[maybe_unused]] ssize_t written = ::write(shared->ready_fd, &one, sizeof one);
  let_go(shared);
  return nullptr;
}

// A detached thread of its own: it may outlive the call that started it, when the resolver is
// slower than the call's deadline.
bool start_resolving(NameLookup::Shared* shared) {
  pthread_attr_t attributes;
  if (::pthread_attr_init(&attributes) != 0) return false;
  ::pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  bool started = ::pthread_create(&thread, &attributes, resolve, shared) == 0;
  ::pthread_attr_destroy(&attributes);
  return started;
}

}  // namespace

int NameLookup::start(const std::string& host, uint16_t port) {
  abandon();
  std::string port_text = std::to_string(port);
  addrinfo hints = tcp_hints(AI_NUMERICHOST);
  int numeric = ::getaddrinfo(host.c_str(), port_text.c_str(), &hints, &numeric_);
  if (numeric != EAI_NONAME) {  // a numeric address, or not one that could be resolved at all
    if (numeric != 0) numeric_ = nullptr;
    numeric_answered_ = numeric == 0;
    return numeric;
  }
  numeric_ = nullptr;
  auto* shared = new Shared;
  shared->host = host;
  shared->port = std::move(port_text);
  shared->ready_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (shared->ready_fd < 0 || !start_resolving(shared)) {
    if (shared->ready_fd >= 0) ::close(shared->ready_fd);
    delete shared;
    return EAI_SYSTEM;
  }
  shared_ = shared;
  return 0;
}

bool NameLookup::answered() const { return numeric_answered_; }

int NameLookup::fd() const { return shared_ != nullptr ? shared_->ready_fd : -1; }

int NameLookup::take(addrinfo** addresses) {
  *addresses = nullptr;
  if (numeric_answered_) {
    numeric_answered_ = false;
    *addresses = numeric_;
    numeric_ = nullptr;
    return *addresses != nullptr ? 0 : EAI_NONAME;
  }
  // fd() was readable: the lookup thread wrote the answer before it, and touches it no more.
  uint64_t count = 0;
  [[maybe_unused]] ssize_t read = ::read(shared_->ready_fd, &count, sizeof count);
  int error = shared_->error;
  *addresses = shared_->result;
  shared_->result = nullptr;
  abandon();
  return error;
}

void NameLookup::release() {
  if (numeric_ != nullptr) ::freeaddrinfo(numeric_);
  numeric_ = nullptr;
  numeric_answered_ = false;
  if (shared_ != nullptr) let_go(shared_);
  shared_ = nullptr;
}

}  // namespace token_client
