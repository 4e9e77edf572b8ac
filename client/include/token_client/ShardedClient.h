// ShardedClient: token requests spread over several servers, each access key always on one.
//
// Every key goes to the server that rendezvous (highest-random-weight) hashing picks for it, so
// each key's bucket lives on exactly one server, and adding a server to a list of N moves only
// the keys the new server wins: about 1/(N+1) of them, all to the new server.
//
// The weight of a server for a key is
//   mix64(fnv1a64(name + "\0" + key))
// over bytes: `name` is the server's "HOST:PORT" (Endpoint::to_string), then one zero byte, then
// the key. fnv1a64 is 64-bit FNV-1a (offset basis 0xcbf29ce484222325, prime 0x100000001b3), and
// mix64 is the splitmix64 finisher: x ^= x >> 30; x *= 0xbf58476d1ce4e5b9; x ^= x >> 27;
// x *= 0x94d049bb133111eb; x ^= x >> 31 (all modulo 2^64). The key goes to the server of highest
// weight; a tie goes to the smaller name. The Python client computes the same, so callers in
// both languages agree as long as they spell the server names alike ("localhost:6666" and
// "127.0.0.1:6666" are different names).
//
// Errors are values as in TokenClient.h. Each server is reached through a TokenClientPool of its
// own (TokenClientPool.h), so the connections to a server never outnumber
// PoolOptions::max_connections. Threads: any number may share a ShardedClient; its server list
// never changes after construction, and the pools have locks of their own. A batch runs its parts
// on threads of its own, one per server it names, and joins them all before it returns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "token_client/TokenClient.h"
#include "token_client/TokenClientPool.h"

namespace token_client {

// The rendezvous weight of the server named `server_name` for `accesskey`.
uint64_t rendezvous_weight(const std::string& server_name, const std::string& accesskey);
// The index in `server_names` of the server that holds `accesskey`; `server_names` is not empty.
size_t rendezvous_pick(const std::vector<std::string>& server_names, const std::string& accesskey);

class ShardedClient {
 public:
  // `servers` must not be empty.
  explicit ShardedClient(const std::vector<Endpoint>& servers, ClientOptions options = {},
                         PoolOptions pool = {});
  ~ShardedClient();
  ShardedClient(const ShardedClient&) = delete;
  ShardedClient& operator=(const ShardedClient&) = delete;

  size_t server_count() const { return pools_.size(); }
  // The index of the server that holds `accesskey`.
  size_t server_for(const std::string& accesskey) const;
  // The pool of one server, e.g. to ping it.
  TokenClientPool& server(size_t index) { return *pools_[index]; }

  // Asks the key's server, as TokenClient::acquire does.
  Status acquire(const TokenRequest& request, uint32_t* granted);
  // Splits the batch by server, sends the parts at once, and answers in the batch's order:
  // (*granted)[i] answers batch[i]. On an error the Status is the first failed server's (in
  // server order); *granted still holds what the other servers granted and 0 for the entries of
  // a failed server, so a caller that goes on never uses more tokens than it was given.
  // `server_status`, when given, gets each server's own outcome, indexed as the servers: ok for
  // a server that answered or was not asked, else its error. A bad entry fails the whole batch
  // with kInvalidArgument before any server is asked.
  Status acquire_batch(const std::vector<TokenRequest>& batch, std::vector<uint32_t>* granted,
                       std::vector<Status>* server_status = nullptr);

 private:
  std::vector<std::string> names_;  // the servers' "HOST:PORT", in the order given
  std::vector<std::unique_ptr<TokenClientPool>> pools_;  // one per server, same order
};

}  // namespace token_client
