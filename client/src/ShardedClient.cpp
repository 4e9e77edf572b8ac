#include "token_client/ShardedClient.h"

#include <cassert>
#include <thread>

namespace token_client {

namespace {

constexpr uint64_t kFnvOffsetBasis = 0xcbf29ce484222325ULL;
constexpr uint64_t kFnvPrime = 0x100000001b3ULL;

uint64_t fnv1a64(uint64_t hash, const std::string& bytes) {
  for (unsigned char byte : bytes) {
    hash ^= byte;
    hash *= kFnvPrime;
  }
  return hash;
}

// FNV-1a alone barely changes its high bits between names that differ in a last digit; the
// finisher spreads every input bit over the whole weight.
uint64_t mix64(uint64_t x) {
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ULL;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebULL;
  x ^= x >> 31;
  return x;
}

}  // namespace

uint64_t rendezvous_weight(const std::string& server_name, const std::string& accesskey) {
  uint64_t hash = fnv1a64(kFnvOffsetBasis, server_name);
  hash *= kFnvPrime;  // the zero byte between name and key (xor with 0 changes nothing)
  return mix64(fnv1a64(hash, accesskey));
}

size_t rendezvous_pick(const std::vector<std::string>& server_names, const std::string& accesskey) {
  assert(!server_names.empty());
  size_t best = 0;
  uint64_t best_weight = rendezvous_weight(server_names[0], accesskey);
  for (size_t i = 1; i < server_names.size(); ++i) {
    uint64_t weight = rendezvous_weight(server_names[i], accesskey);
    bool wins_tie = weight == best_weight && server_names[i] < server_names[best];
    if (weight > best_weight || wins_tie) {
      best = i;
      best_weight = weight;
    }
  }
  return best;
}

ShardedClient::ShardedClient(const std::vector<Endpoint>& servers, ClientOptions options,
                             PoolOptions pool) {
  assert(!servers.empty());
  for (const Endpoint& server : servers) {
    names_.push_back(server.to_string());
    pools_.push_back(std::make_unique<TokenClientPool>(server, options, pool));
  }
}

ShardedClient::~ShardedClient() = default;

size_t ShardedClient::server_for(const std::string& accesskey) const {
  return rendezvous_pick(names_, accesskey);
}

Status ShardedClient::acquire(const TokenRequest& request, uint32_t* granted) {
  return pools_[server_for(request.accesskey)]->acquire(request, granted);
}

Status ShardedClient::acquire_batch(const std::vector<TokenRequest>& batch,
                                    std::vector<uint32_t>* granted,
                                    std::vector<Status>* server_status) {
  granted->assign(batch.size(), 0);
  size_t count = pools_.size();
  if (server_status != nullptr) server_status->assign(count, Status());
  // A bad entry fails the whole batch before any server is asked.
  for (const TokenRequest& entry : batch) {
    Status checked = check_token_request(entry);
    if (!checked.ok()) return checked;
  }
  std::vector<std::vector<TokenRequest>> parts(count);
  std::vector<std::vector<size_t>> positions(count);  // where each part's entries sit in batch
  for (size_t i = 0; i < batch.size(); ++i) {
    size_t server = server_for(batch[i].accesskey);
    parts[server].push_back(batch[i]);
    positions[server].push_back(i);
  }

  std::vector<std::vector<uint32_t>> answers(count);
  std::vector<Status> statuses(count);
  auto send_part = [&](size_t server) {
    statuses[server] = pools_[server]->acquire_batch(parts[server], &answers[server]);
  };
  // The calling thread sends the first part itself; the others go out on threads of their own.
  std::vector<std::thread> senders;
  size_t own_part = count;
  for (size_t server = 0; server < count; ++server) {
    if (parts[server].empty()) continue;
    if (own_part == count) {
      own_part = server;
    } else {
      senders.emplace_back(send_part, server);
    }
  }
  if (own_part < count) send_part(own_part);
  for (std::thread& sender : senders) sender.join();

  Status first_failure;
  for (size_t server = 0; server < count; ++server) {
    if (!statuses[server].ok()) {
      if (first_failure.ok()) first_failure = statuses[server];
      continue;
    }
    for (size_t j = 0; j < positions[server].size(); ++j) {
      (*granted)[positions[server][j]] = answers[server][j];
    }
  }
  if (server_status != nullptr) *server_status = std::move(statuses);
  return first_failure;
}

}  // namespace token_client
