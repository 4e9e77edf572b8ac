#include "rendezvous.h"

#include <algorithm>
#include <cassert>
#include <numeric>

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

std::vector<uint64_t> hash_server_names(const std::vector<std::string>& server_names) {
  assert(!server_names.empty());
  std::vector<uint64_t> hashes;
  for (const std::string& name : server_names) hashes.push_back(hash_server_name(name));
  return hashes;
}

}  // namespace

uint64_t hash_server_name(const std::string& server_name) {
  // The zero byte after the name: xor with 0 changes nothing, so only the multiply is left.
  return fnv1a64(kFnvOffsetBasis, server_name) * kFnvPrime;
}

uint64_t weight_for_key(uint64_t name_hash, const std::string& accesskey) {
  return mix64(fnv1a64(name_hash, accesskey));
}

uint64_t rendezvous_weight(const std::string& server_name, const std::string& accesskey) {
  return weight_for_key(hash_server_name(server_name), accesskey);
}

size_t rendezvous_pick(const std::vector<std::string>& server_names, const std::string& accesskey) {
  return place_key(server_names, hash_server_names(server_names), accesskey,
                   [](size_t) { return true; })
      .owner;
}

size_t rendezvous_pick(const std::vector<std::string>& server_names, const std::string& accesskey,
                       const std::vector<bool>& usable) {
  return place_key(server_names, hash_server_names(server_names), accesskey,
                   [&](size_t i) { return usable[i]; })
      .target;
}

std::vector<size_t> rendezvous_order(const std::vector<std::string>& server_names,
                                     const std::string& accesskey) {
  std::vector<uint64_t> weights;
  for (const std::string& name : server_names)
    weights.push_back(rendezvous_weight(name, accesskey));
  std::vector<size_t> order(server_names.size());
  std::iota(order.begin(), order.end(), 0);
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    return weights[a] != weights[b] ? weights[a] > weights[b] : server_names[a] < server_names[b];
  });
  return order;
}

}  // namespace token_client
