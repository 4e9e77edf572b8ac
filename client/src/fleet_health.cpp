#include "fleet_health.h"

#include <algorithm>
#include <utility>

namespace token_client {

FleetHealth::FleetHealth(std::vector<TokenClientPool*> pools, const FleetOptions& options)
    : pools_(std::move(pools)),
      options_(options),
      up_(std::make_unique<std::atomic<bool>[]>(pools_.size())),
      records_(pools_.size()) {
  for (size_t server = 0; server < pools_.size(); ++server) up_[server] = true;
}

FleetHealth::~FleetHealth() { stop_prober(); }  // never to start again

void FleetHealth::close() {
  stop_prober();
  std::thread ended;
  {
    token_base::MutexLock lock(&mutex_);
    --closing_;
    ended = start_prober();  // for a server still down, or gone down while it stopped
  }
  if (ended.joinable()) ended.join();
}

void FleetHealth::stop_prober() {
  std::thread prober;
  {
    token_base::MutexLock lock(&mutex_);
    ++closing_;
    prober = std::move(prober_);
  }
  prober_wake_.notify_one();
  if (prober.joinable()) prober.join();
}

std::thread FleetHealth::start_prober() {
  bool any_down = false;
  for (size_t server = 0; server < pools_.size(); ++server) any_down = any_down || !up(server);
  if (prober_running_ || closing_ > 0 || !any_down) return std::thread();
  std::thread ended = std::move(prober_);
  prober_running_ = true;
  prober_ = std::thread([this] { probe_down_servers(); });
  return ended;
}

void FleetHealth::mark_down(size_t server, const Status& failure) {
  std::thread ended;  // joined after the lock is released
  {
    token_base::MutexLock lock(&mutex_);
    Record& record = records_[server];
    ++record.failed_calls;
    record.last_failure = failure;
    if (!up_[server]) return;  // calls under way when it failed: it is probed already
    up_[server].store(false, std::memory_order_release);
    record.wait = options_.first_probe_delay;
    record.next_probe = Clock::now() + record.wait;
    ended = start_prober();
  }
  prober_wake_.notify_one();
  if (ended.joinable()) ended.join();
}

Status FleetHealth::down_error(size_t server) const {
  token_base::MutexLock lock(&mutex_);
  return Status(StatusCode::kConnectFailed, pools_[server]->endpoint().to_string() + " is down: " +
                                                records_[server].last_failure.message());
}

ServerHealth FleetHealth::health(size_t server) const {
  token_base::MutexLock lock(&mutex_);
  const Record& record = records_[server];
  return ServerHealth{up(server), record.failed_calls, record.probes, record.last_failure};
}

size_t FleetHealth::wait_for_due_probe() {
  while (closing_ == 0) {
    size_t due = kNoServer;
    for (size_t server = 0; server < records_.size(); ++server) {
      if (up_[server]) continue;
      if (due == kNoServer || records_[server].next_probe < records_[due].next_probe) due = server;
    }
    if (due == kNoServer) break;
    if (Clock::now() >= records_[due].next_probe) {
      ++records_[due].probes;
      return due;
    }
    prober_wake_.wait_until(&mutex_, records_[due].next_probe);
  }
  prober_running_ = false;
  return kNoServer;
}

void FleetHealth::probe_down_servers() {
  for (;;) {
    size_t server = kNoServer;
    {
      token_base::MutexLock lock(&mutex_);
      server = wait_for_due_probe();
    }
    if (server == kNoServer) return;
    // The pool connects anew, resolving the host again, so a server back at another address is
    // found; the connection it opens stays for the calls that follow.
    record_probe(server, pools_[server]->ping());
  }
}

void FleetHealth::record_probe(size_t server, const Status& answered) {
  token_base::MutexLock lock(&mutex_);
  Record& record = records_[server];
  if (answered.ok()) {
    up_[server].store(true, std::memory_order_release);
    return;
  }
  record.last_failure = answered;
  record.wait = std::min(record.wait * 2, options_.max_probe_delay);
  record.next_probe = Clock::now() + record.wait;
}

}  // namespace token_client
