// ShardedClient: token requests spread over a fleet of servers, each access key on one of them,
// that carries on when a server is lost.
//
// Placement. Every key goes to the server that rendezvous (highest-random-weight) hashing picks
// for it, so each key's bucket lives on one server, and adding a server to a list of N moves only
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
// "127.0.0.1:6666" are different names). The name, not the address, places keys: the host is
// resolved again for every new connection, so a server that comes back at another address under
// its name (a restarted pod of a StatefulSet keeps its name) gets its keys back.
//
// Health. The client holds each server up or down. A failed connect, a connection that breaks
// during a call (after the one reconnect), or a server that answers neither the request nor the
// handshake after it (kTimeout, TokenClient.h) marks it down; a refused request, a bad reply and a
// pool whose connections are all busy do not. No call waits on a server known to be down. A
// prober thread of the client's own sends the handshake to each down server, first
// FleetOptions::first_probe_delay after it went down, then each time after twice the last wait, up
// to max_probe_delay; the first answer marks it up again. The prober runs while a server is down.
//
// Policy, for the keys whose server is down (FleetOptions::policy):
//   kFailover    (the default) each such key goes to the next server in its own rendezvous order
//                that is up: of the live servers, the one of highest weight for it. It goes back
//                once its own server is up. A call that finds a server failing moves the keys it
//                could not get there on, within the same call, so the caller gets a grant, not an
//                error, while any server is up.
//   kFailClosed  0 tokens and an error for those keys.
//   kFailOpen    the need is granted without asking, and the entry is marked not checked.
// Buckets are the servers' own: a key that moves starts with a full bucket on its fallback, and
// again on its own server when it returns, so each move may grant up to one burst too many.
//
// Time. Only the calls that meet a server as it fails wait for it, up to twice the reply timeout
// (TokenClient.h); later calls skip it until a probe finds it up. A server is marked down only for
// its own failure: each server's part has its own deadlines, started when its connection is in
// hand, and a reply that came in time is read even when the calling thread was held up. A call
// that finds a server's pool busy sends the other parts first and then waits for that pool (up to
// borrow_timeout in all), holding no connection of another server; the wait marks nothing down.
// Bounds of one call, R the reply timeout and B the borrow timeout: kFailClosed and kFailOpen at
// most 2R (+ B); kFailover 2R for each round, one round more for each server that fails during
// the call (one fails: at most 4R, + B).
//
// Batches. acquire_batch splits a batch by server and sends each server's part on a connection
// from that server's pool, all from the calling thread: the parts go out together, and their
// replies are read as they come, with one poll over their sockets. No thread is started per call.
//
// Errors are values as in TokenClient.h. Each server is reached through a TokenClientPool of its
// own (TokenClientPool.h), so the connections to a server never outnumber
// PoolOptions::max_connections. Threads: any number may share a ShardedClient; its server list
// never changes after construction, and the pools and the health state have locks of their own.
// close() closes the idle connections and stops the prober, waiting for a probe under way; the
// client stays usable, and the prober starts again for a server still down. The destructor must
// not run while a call is in progress; it waits for a probe under way.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "token_client/TokenClient.h"
#include "token_client/TokenClientPool.h"

namespace token_client {

class FleetHealth;

// "No server": what rendezvous_pick gives when no server may be used.
constexpr size_t kNoServer = static_cast<size_t>(-1);

enum class FailurePolicy { kFailover, kFailClosed, kFailOpen };

struct FleetOptions {
  FailurePolicy policy = FailurePolicy::kFailover;
  // From a server going down to its first probe; each probe that finds it down doubles the wait
  // for the next, up to max_probe_delay.
  std::chrono::milliseconds first_probe_delay{500};
  std::chrono::milliseconds max_probe_delay{30000};
};

// The answer to one entry of a sharded call.
struct Grant {
  uint32_t tokens = 0;
  // The server that answered, an index into the server list. For an entry without an answer, the
  // server whose failure `status` gives; for one granted unchecked, its own server.
  size_t server = 0;
  bool fallback = false;  // `server` is not the key's own: its own was down
  bool checked = true;    // false: granted by kFailOpen without asking a server
  Status status;          // ok, or why the entry got nothing
  // The detail of the answering server's bucket (TokenGrant), as it told it: for a fallback's
  // answer, the fallback's. Absent when it did not tell, and for a grant of kFailOpen.
  std::optional<uint64_t> remaining = std::nullopt;
  std::optional<std::chrono::milliseconds> retry_after = std::nullopt;
  bool cached = false;  // answered 0 by the deny cache, without asking; `server` is the key's own
};

// What the client knows of one server.
struct ServerHealth {
  bool up = true;
  uint64_t failed_calls = 0;  // calls that met the server failing, each after waiting for it
  uint64_t probes = 0;        // handshakes the prober has sent it
  Status last_failure;        // what marked it down last; ok when nothing has
};

class ShardedClient {
 public:
  // `servers` must not be empty.
  explicit ShardedClient(const std::vector<Endpoint>& servers, ClientOptions options = {},
                         PoolOptions pool = {}, FleetOptions fleet = {});
  ~ShardedClient();
  ShardedClient(const ShardedClient&) = delete;
  ShardedClient& operator=(const ShardedClient&) = delete;

  size_t server_count() const { return pools_.size(); }
  // The name of a server, "HOST:PORT", which places its keys.
  const std::string& server_name(size_t index) const { return names_[index]; }
  // The index of the server that holds `accesskey` (whether it is up or not).
  size_t server_for(const std::string& accesskey) const;
  // The pool of one server, e.g. to ping it.
  TokenClientPool& server(size_t index) { return *pools_[index]; }
  ServerHealth server_health(size_t index) const;
  // Closes the idle connections and stops the prober (see the top of this file).
  void close();

  // Asks for one key, as acquire_batch does for one entry; returns grant->status.
  Status acquire(const TokenRequest& request, Grant* grant);
  // The same, giving the tokens alone: 0 when the Status is not ok.
  Status acquire(const TokenRequest& request, uint32_t* granted);
  // Splits the batch by server, sends the parts at once, and answers in the batch's order:
  // (*grants)[i] answers batch[i]. Returns ok when every entry has its grant, else the status of
  // the first entry, in the batch's order, that has none; the other entries keep their grants, so
  // a caller that goes on never uses more tokens than it was given. `server_status`, when given,
  // gets each server's own outcome, indexed as the servers: its error in this call (a failure, a
  // refusal, a bad reply, a busy pool), or why keys were not sent to it because it is down; ok
  // otherwise. A bad entry fails the whole batch with kInvalidArgument before any server is asked.
  Status acquire_batch(const std::vector<TokenRequest>& batch, std::vector<Grant>* grants,
                       std::vector<Status>* server_status = nullptr);
  // The same, giving the tokens alone: (*granted)[i] is (*grants)[i].tokens.
  Status acquire_batch(const std::vector<TokenRequest>& batch, std::vector<uint32_t>* granted,
                       std::vector<Status>* server_status = nullptr);

 private:
  class Call;  // one call's way through the fleet (ShardedClient.cpp)

  std::vector<std::string> names_;     // the servers' "HOST:PORT", in the order given
  std::vector<uint64_t> name_hashes_;  // hash_server_name of each name, for the weights
  std::vector<std::unique_ptr<TokenClientPool>> pools_;  // one per server, same order
  PoolOptions pool_options_;
  FleetOptions fleet_;
  std::shared_ptr<DenyCache> deny_cache_;  // ClientOptions::deny_cache, shared with the pools
  std::unique_ptr<FleetHealth> health_;    // after pools_, which it probes through
};

// For tests and tools, not needed to use the client: the placement a ShardedClient computes
// (see the top of this file), which tests check against the rows the Python client is checked
// against too.

// The rendezvous weight of the server named `server_name` for `accesskey`.
uint64_t rendezvous_weight(const std::string& server_name, const std::string& accesskey);
// The index in `server_names` (not empty) of the server that holds `accesskey`.
size_t rendezvous_pick(const std::vector<std::string>& server_names, const std::string& accesskey);
// The index of the server of highest weight for `accesskey` among those marked in `usable`
// (usable[i] for server_names[i]); kNoServer when none is: where kFailover sends the key.
size_t rendezvous_pick(const std::vector<std::string>& server_names, const std::string& accesskey,
                       const std::vector<bool>& usable);
// Every index of `server_names`, from the server of highest weight for `accesskey` to the lowest:
// the key's own server, then the order in which it falls back.
std::vector<size_t> rendezvous_order(const std::vector<std::string>& server_names,
                                     const std::string& accesskey);

}  // namespace token_client
