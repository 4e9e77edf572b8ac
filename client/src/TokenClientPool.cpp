#include "token_client/TokenClientPool.h"

#include <string>
#include <utility>

#include "deny_cache.h"
#include "wire.h"

namespace token_client {

TokenClientPool::TokenClientPool(Endpoint server, ClientOptions options, PoolOptions pool)
    : server_(std::move(server)), options_(options), pool_(pool) {
  reaper_ = std::thread([this] { reap_idle_clients(); });
}

TokenClientPool::~TokenClientPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  reaper_wake_.notify_one();
  reaper_.join();
}

size_t TokenClientPool::open_connections() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return idle_.size() + borrowed_;
}

void TokenClientPool::take_expired(Clock::time_point now, Clients* expired) {
  while (!idle_.empty() && now - idle_.front().idle_since >= pool_.idle_timeout) {
    expired->push_back(std::move(idle_.front().client));
    idle_.pop_front();
  }
}

Status TokenClientPool::borrow(std::unique_ptr<TokenClient>* client, Clock::time_point deadline) {
  Clients expired;  // closed after the lock is released, by its destructor
  std::unique_lock<std::mutex> lock(mutex_);
  auto has_room = [this] { return !idle_.empty() || borrowed_ < pool_.max_connections; };
  if (!client_freed_.wait_until(lock, deadline, has_room)) {
    return Status(StatusCode::kConnectFailed,
                  "connect " + server_.to_string() + ": all " +
                      std::to_string(pool_.max_connections) + " connections stayed busy for " +
                      std::to_string(pool_.borrow_timeout.count()) + " ms");
  }
  take_expired(Clock::now(), &expired);
  ++borrowed_;
  if (idle_.empty()) {
    lock.unlock();
    *client = std::make_unique<TokenClient>(server_, options_);  // connects on its first call
    return Status();
  }
  *client = std::move(idle_.back().client);
  idle_.pop_back();
  return Status();
}

void TokenClientPool::give_back(std::unique_ptr<TokenClient> client) {
  Clients expired;
  bool keep = client->connected();
  if (!keep) expired.push_back(std::move(client));
  bool wake_reaper = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    --borrowed_;
    if (keep) {
      auto now = Clock::now();
      idle_.push_back({std::move(client), now});
      take_expired(now, &expired);
      wake_reaper = reaper_awaits_idle_;
    }
  }
  // Notified after unlocking, so that the woken thread does not block on the mutex at once.
  client_freed_.notify_one();
  // A reaper that sleeps until some client's time is up wakes no later than this one's, so only
  // one that waits for any client at all is woken: a call that borrows the one idle client and
  // gives it back costs the reaper nothing.
  if (wake_reaper) reaper_wake_.notify_one();
}

template <typename Call>
Status TokenClientPool::with_client(Call call) {
  std::unique_ptr<TokenClient> client;
  Status borrowed = borrow(&client, Clock::now() + pool_.borrow_timeout);
  if (!borrowed.ok()) return borrowed;
  // The call always ends its exchange (one cut short closes the connection): a connection goes
  // back carrying no reply of its.
  Status answered = call(*client);
  give_back(std::move(client));
  return answered;
}

Status TokenClientPool::ping(std::chrono::microseconds* round_trip) {
  return with_client([&](TokenClient& client) { return client.ping(round_trip); });
}

bool TokenClientPool::answered_by_cache(EntryList entries, TokenGrant* grants) {
  DenyCache* cache = options_.deny_cache.get();
  if (cache == nullptr) return false;
  std::vector<size_t> unanswered;
  cache->answer_entries(entries, Clock::now(), grants, &unanswered);
  return unanswered.empty();
}

// A refused request or an empty batch needs no connection, so acquire and acquire_batch answer
// them before borrowing one.
Status TokenClientPool::acquire(const TokenRequest& request, uint32_t* granted) {
  Status checked = check_entries({&request, 1});
  if (!checked.ok()) return checked;
  return with_client([&](TokenClient& client) { return client.acquire(request, granted); });
}

Status TokenClientPool::acquire(const TokenRequest& request, TokenGrant* grant) {
  *grant = TokenGrant();
  Status checked = check_entries({&request, 1});
  if (!checked.ok()) return checked;
  if (answered_by_cache({&request, 1}, grant)) return Status();
  return with_client([&](TokenClient& client) { return client.acquire(request, grant); });
}

Status TokenClientPool::acquire_batch(const std::vector<TokenRequest>& batch,
                                      std::vector<uint32_t>* granted) {
  granted->assign(batch.size(), 0);
  if (batch.empty()) return Status();
  Status checked = check_entries({batch.data(), batch.size()});
  if (!checked.ok()) return checked;
  return with_client([&](TokenClient& client) { return client.acquire_batch(batch, granted); });
}

Status TokenClientPool::acquire_batch(const std::vector<TokenRequest>& batch,
                                      std::vector<TokenGrant>* grants) {
  grants->assign(batch.size(), TokenGrant());
  if (batch.empty()) return Status();
  Status checked = check_entries({batch.data(), batch.size()});
  if (!checked.ok()) return checked;
  if (answered_by_cache({batch.data(), batch.size()}, grants->data())) return Status();
  return with_client([&](TokenClient& client) { return client.acquire_batch(batch, grants); });
}

void TokenClientPool::reap_idle_clients() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    if (idle_.empty()) {
      reaper_awaits_idle_ = true;
      reaper_wake_.wait(lock, [this] { return stopping_ || !idle_.empty(); });
      reaper_awaits_idle_ = false;
      continue;
    }
    reaper_wake_.wait_until(lock, idle_.front().idle_since + pool_.idle_timeout);
    Clients expired;
    take_expired(Clock::now(), &expired);
    // Closing is a system call per connection: not under the lock.
    lock.unlock();
    expired.clear();
    lock.lock();
  }
}

}  // namespace token_client
