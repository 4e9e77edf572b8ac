#include "name_lookup.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>

namespace token_client {

// What the calling thread and the notification thread share; the last to let go frees it.
struct NameLookup::Shared {
  gaicb request = {};
  addrinfo hints = {};
  std::string host;
  std::string port;
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
  if (shared->request.ar_result != nullptr) ::freeaddrinfo(shared->request.ar_result);
  ::close(shared->ready_fd);
  delete shared;
}

void on_answer(sigval value) {
  auto* shared = static_cast<NameLookup::Shared*>(value.sival_ptr);
  uint64_t one = 1;
  // An eventfd write of 8 bytes cannot fall short.
  [[maybe_unused]] ssize_t written = ::write(shared->ready_fd, &one, sizeof one);
  let_go(shared);
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
  shared->hints = tcp_hints(0);
  shared->host = host;
  shared->port = std::move(port_text);
  shared->request.ar_name = shared->host.c_str();
  shared->request.ar_service = shared->port.c_str();
  shared->request.ar_request = &shared->hints;
  shared->ready_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (shared->ready_fd < 0) {
    delete shared;
    return EAI_SYSTEM;
  }
  sigevent notify = {};
  notify.sigev_notify = SIGEV_THREAD;
  notify.sigev_value.sival_ptr = shared;
  notify.sigev_notify_function = on_answer;
  gaicb* list[] = {&shared->request};
  int started = ::getaddrinfo_a(GAI_NOWAIT, list, 1, &notify);
  if (started != 0) {
    ::close(shared->ready_fd);
    delete shared;
    return started;
  }
  shared_ = shared;
  return 0;
}

bool NameLookup::answered() const {
  if (numeric_answered_) return true;
  return shared_ != nullptr && ::gai_error(&shared_->request) != EAI_INPROGRESS;
}

int NameLookup::fd() const { return shared_ != nullptr ? shared_->ready_fd : -1; }

int NameLookup::take(addrinfo** addresses) {
  *addresses = nullptr;
  if (numeric_answered_) {
    numeric_answered_ = false;
    *addresses = numeric_;
    numeric_ = nullptr;
    return *addresses != nullptr ? 0 : EAI_NONAME;
  }
  int error = ::gai_error(&shared_->request);
  if (error == 0) {
    *addresses = shared_->request.ar_result;
    shared_->request.ar_result = nullptr;
  }
  abandon();
  return error;
}

void NameLookup::abandon() {
  if (numeric_ != nullptr) ::freeaddrinfo(numeric_);
  numeric_ = nullptr;
  numeric_answered_ = false;
  if (shared_ != nullptr) let_go(shared_);
  shared_ = nullptr;
}

}  // namespace token_client
