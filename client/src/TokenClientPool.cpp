#include "token_client/TokenClientPool.h"

#include <string>
#include <utility>

#include "connection.h"
#include "deny_cache.h"
#include "wire.h"

namespace token_client {

TokenClientPool::Lease& TokenClientPool::Lease::operator=(Lease&& other) noexcept {
  reset();
  pool_ = other.pool_;
  client_ = std::move(other.client_);
  taken_ = other.taken_;
  return *this;
}

void TokenClientPool::Lease::reset() {
  if (client_ != nullptr) pool_->give_back(std::move(client_));
}

TokenClientPool::TokenClientPool(Endpoint server, ClientOptions options, PoolOptions pool)
    : server_(std::move(server)), options_(options), pool_(pool) {}

TokenClientPool::~TokenClientPool() {
  std::thread reaper;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    reaper = std::move(reaper_);
  }
  reaper_wake_.notify_one();
  if (reaper.joinable()) reaper.join();
}

void TokenClientPool::close() {
  Clients closed;  // closed after the lock is released, by its destructor
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (IdleClient& idle : idle_) closed.push_back(std::move(idle.client));
    idle_.clear();
  }
  reaper_wake_.notify_one();  // to find none idle, and end
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

Status TokenClientPool::busy_error() const {
  return Status(StatusCode::kConnectFailed,
                "connect " + server_.to_string() + ": all " +
                    std::to_string(pool_.max_connections) + " connections stayed busy for " +
                    std::to_string(pool_.borrow_timeout.count()) + " ms");
}

bool TokenClientPool::borrow(Clock::time_point deadline, std::unique_ptr<TokenClient>* client) {
  Clients expired;  // closed after the lock is released, by its destructor
  std::unique_lock<std::mutex> lock(mutex_);
  auto has_room = [this] { return !idle_.empty() || borrowed_ < pool_.max_connections; };
  if (!client_freed_.wait_until(lock, deadline, has_room)) return false;
  take_expired(Clock::now(), &expired);
  ++borrowed_;
  if (idle_.empty()) {
    lock.unlock();
    *client = std::make_unique<TokenClient>(server_, options_);  // connects on its first call
    return true;
  }
  *client = std::move(idle_.back().client);
  idle_.pop_back();
  return true;
}

void TokenClientPool::give_back(std::unique_ptr<TokenClient> client) {
  Clients expired;
  std::thread ended_reaper;  // joined after the lock is released
  bool keep = client->connection().is_open();
  if (!keep) expired.push_back(std::move(client));
  {
    std::lock_guard<std::mutex> lock(mutex_);
    --borrowed_;
    if (keep) {
      auto now = Clock::now();
      idle_.push_back({std::move(client), now});
      take_expired(now, &expired);
      // A running reaper wakes no later than this client's time is up; none runs when no client
      // was idle since it last woke.
      if (!reaper_running_ && !idle_.empty() && !stopping_) {
        ended_reaper = std::move(reaper_);
        reaper_running_ = true;
        reaper_ = std::thread([this] { reap_idle_clients(); });
      }
    }
  }
  // Notified after unlocking, so that the woken thread does not block on the mutex at once.
  client_freed_.notify_one();
  if (ended_reaper.joinable()) ended_reaper.join();
}

template <typename Call>
Status TokenClientPool::with_client(Call call) {
  Lease lease = this->lease();
  if (!lease) return lease.status();
  return call(*lease);
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
  while (!stopping_ && !idle_.empty()) {
    reaper_wake_.wait_until(lock, idle_.front().idle_since + pool_.idle_timeout);
    Clients expired;
    take_expired(Clock::now(), &expired);
    // Closing is a system call per connection: not under the lock.
    lock.unlock();
    expired.clear();
    lock.lock();
  }
  reaper_running_ = false;
}

}  // namespace token_client
