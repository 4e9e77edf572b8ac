// The client registry: finding or creating a client's bucket and drawing from it.
#include "accounting/client_registry.h"

#include <atomic>
#include <cassert>
#include <cstring>
#include <mutex>
#include <shared_mutex>

#include "accounting/TokenBucket.h"
#include "server/TokenServer.h"

namespace {

qos_user_instance_t make_client_key(const char* accesskey) {
  qos_user_instance_t key = {};
  assert(std::strlen(accesskey) <= static_cast<size_t>(kMaxAccessKeyLength));
  std::strncpy(key.accesskey, accesskey, kMaxAccessKeyLength);
  return key;
}

// A requested value outside (0, limit] leaves the stored one in place.
double bounded_or_stored(double requested, double limit, double stored) {
  return requested > 0 && requested <= limit ? requested : stored;
}

// The client this thread found last. A worker serves one connection at a time and a connection
// mostly names one client, so most lookups end here without clients_mutex: every reader of that
// lock writes its reader count, and passing that cache line between cores on each lookup costs
// more than the lookup itself.
struct RecentClient {
  uint64_t map_id = 0;  // no map has id 0
  char accesskey[kMaxAccessKeyLength + 1] = {};
  BasicTokenBucket* bucket = nullptr;
};
thread_local RecentClient recent_client;

std::atomic<uint64_t> last_client_map_id{0};

}  // namespace

ClientMap::ClientMap() : id_(++last_client_map_id) {}

BasicTokenBucket* TokenServer::find_client(const char* accesskey) {
  RecentClient& recent = recent_client;
  if (recent.map_id == clients.id() && std::strcmp(recent.accesskey, accesskey) == 0) {
    return recent.bucket;
  }
  qos_user_instance_t key = make_client_key(accesskey);
  BasicTokenBucket* bucket = nullptr;
  {
    std::shared_lock<std::shared_mutex> lock(clients_mutex);
    auto found = clients.find(key);
    if (found == clients.end()) return nullptr;
    bucket = &found->second;
  }
  recent.map_id = clients.id();
  std::memcpy(recent.accesskey, key.accesskey, sizeof recent.accesskey);
  recent.bucket = bucket;
  return bucket;
}

bool TokenServer::is_known_client(const char* accesskey) {
  return find_client(accesskey) != nullptr;
}

double TokenServer::grant_tokens(const char* accesskey, double need_tokens, double gen_rate,
                                 double burst_size) {
  BasicTokenBucket* bucket = find_client(accesskey);
  if (bucket == nullptr) {
    // A new client starts with a full bucket and is granted its whole need, so that its first
    // request is never refused. If another worker added the key meanwhile, that bucket stands.
    qos_user_instance_t key = make_client_key(accesskey);
    std::lock_guard<std::shared_mutex> lock(clients_mutex);
    clients.try_emplace(key, gen_rate, burst_size, 0.0);
    return need_tokens;
  }
  return draw_tokens(bucket, need_tokens, gen_rate, burst_size);
}

double TokenServer::draw_tokens(BasicTokenBucket* bucket, double need_tokens, double gen_rate,
                                double burst_size) {
  BasicTokenBucket::Rates used = {};
  double granted = bucket->consumeOrDrain(need_tokens, steadyNowMillis(), &used);
  if (gen_rate != used.rate || burst_size != used.burstSize) {
    // A new rate or burst applies from the client's next request on.
    bucket->reset(bounded_or_stored(gen_rate, kMaxGenRate, used.rate),
                  bounded_or_stored(burst_size, kMaxBurstSize, used.burstSize), steadyNowMillis());
  }
  return granted;
}
