// The client registry: finding or creating a client's bucket and drawing from it.
#include "accounting/client_registry.h"

#include <cassert>
#include <cstring>

#include "accounting/TokenBucket.h"
#include "server/TokenServer.h"

namespace token_server {

namespace {

qos_user_instance_t make_client_key(const char* accesskey) {
  qos_user_instance_t key = {};
  assert(std::strlen(accesskey) <= static_cast<size_t>(kMaxAccessKeyLength));
  std::strncpy(key.accesskey, accesskey, kMaxAccessKeyLength);
  return key;
}

}  // namespace

BasicTokenBucket* ClientMap::find(const char* accesskey) const {
  ClientEntry* entry = index_.find(accesskey);
  return entry == nullptr ? nullptr : &entry->second;
}

void ClientMap::insert(const qos_user_instance_t& key, double rate, double burst_size,
                       double empty_time) {
  token_base::MutexLock lock(&insertion_mutex_);
  auto [entry, added] = buckets_.try_emplace(key, rate, burst_size, empty_time);
  if (added) index_.insert(&*entry);
}

size_t ClientMap::size() const {
  token_base::MutexLock lock(&insertion_mutex_);
  return index_.size();
}

BasicTokenBucket* TokenServer::find_client(const char* accesskey) {
  return clients.find(accesskey);
}

size_t TokenServer::known_clients() { return clients.size(); }

bool TokenServer::is_known_client(const char* accesskey) {
  return find_client(accesskey) != nullptr;
}

double TokenServer::grant_tokens(const char* accesskey, double need_tokens, double gen_rate,
                                 double burst_size, DrawDetail* detail) {
  BasicTokenBucket* bucket = find_client(accesskey);
  if (bucket == nullptr) {
    // A new client starts with a full bucket and is granted its whole need, so that its first
    // request is never refused. If another worker added the key meanwhile, that bucket stands.
    // Full means empty one burst's worth of time ago: a bucket empty at the clock's origin would
    // fill only once the host has been up for burst / rate seconds.
    qos_user_instance_t key = make_client_key(accesskey);
    double full_now = steadyNowMillis() - burst_size / gen_rate * kMillisPerSecond;
    clients.insert(key, gen_rate, burst_size, full_now);
    // Nothing is drawn: the new bucket stays full.
    if (detail != nullptr) *detail = {static_cast<uint64_t>(burst_size), 0};
    return need_tokens;
  }
  return draw_tokens(bucket, need_tokens, gen_rate, burst_size, detail);
}

double TokenServer::draw_tokens(BasicTokenBucket* bucket, double need_tokens, double gen_rate,
                                double burst_size, DrawDetail* detail) {
  return bucket->consumeOrDrain(need_tokens, {gen_rate, burst_size}, SteadyClockMillis{}, detail);
}

}  // namespace token_server
