// Rendezvous hashing inside the library: the weight of a server for a key from the server's
// name hashed once, and the placement of a key among servers, some of which may be unusable.
// ShardedClient.h gives the definition of the weight.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "token_client/ShardedClient.h"

namespace token_client {

// The hash of a server's name and the zero byte after it: where every key's hash for that
// server begins.
uint64_t hash_server_name(const std::string& server_name);
// The weight of the server whose name hashes to `name_hash` for `accesskey`.
uint64_t weight_for_key(uint64_t name_hash, const std::string& accesskey);

// Where a key goes: its own server, and the server it is sent to, the best usable one.
struct Placement {
  size_t owner = 0;
  size_t target = 0;  // the owner when usable; kNoServer when no server is
};

// Places `accesskey` among the servers named `names` (not empty), whose name hashes are
// `name_hashes`: the owner has the highest weight, a tie going to the smaller name; the target
// is the server of highest weight among those for which `usable(index)` holds.
template <typename Usable>
Placement place_key(const std::vector<std::string>& names, const std::vector<uint64_t>& name_hashes,
                    const std::string& accesskey, Usable usable) {
  Placement placement{0, kNoServer};
  uint64_t owner_weight = 0;
  uint64_t target_weight = 0;
  for (size_t i = 0; i < names.size(); ++i) {
    uint64_t weight = weight_for_key(name_hashes[i], accesskey);
    auto outranks = [&](size_t best, uint64_t best_weight) {
      return weight > best_weight || (weight == best_weight && names[i] < names[best]);
    };
    if (i == 0 || outranks(placement.owner, owner_weight)) {
      placement.owner = i;
      owner_weight = weight;
    }
    if (usable(i) && (placement.target == kNoServer || outranks(placement.target, target_weight))) {
      placement.target = i;
      target_weight = weight;
    }
  }
  return placement;
}

}  // namespace token_client
