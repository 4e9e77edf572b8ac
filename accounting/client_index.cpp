// The client index: a lock-free lookup from access key to the client map's entry.
#include <sodium.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "accounting/client_registry.h"
#include "base/siphash.h"

namespace token_server {

namespace {

constexpr size_t kFirstCapacity = 64;
// Growth keeps the table at most half full, so that a probe mostly ends at its first slot.
constexpr size_t kMaxLoadDivisor = 2;

static_assert(kIndexHashKeyBytes == token_base::kSipHashKeyBytes);

// Drawn at the first index's construction, when the server starts, and kept for the process.
const ClientIndex::HashKey& process_hash_key() {
  static const ClientIndex::HashKey key = [] {
    if (sodium_init() < 0) {
      std::fputs("client index: libsodium cannot start\n", stderr);
      std::exit(1);
    }
    ClientIndex::HashKey drawn;
    randombytes_buf(drawn.bytes, sizeof drawn.bytes);
    return drawn;
  }();
  return key;
}

}  // namespace

ClientIndex::Table::Table(size_t capacity) : mask(capacity - 1), slots(new Slot[capacity]) {}

ClientIndex::ClientIndex() : ClientIndex(process_hash_key()) {}

ClientIndex::ClientIndex(const HashKey& key) : hash_key_(key) {
  tables_.push_back(std::make_unique<Table>(kFirstCapacity));
  live_.store(tables_.back().get(), std::memory_order_release);
}

size_t ClientIndex::hash_of(const char* accesskey) const {
  return static_cast<size_t>(
      token_base::siphash<1, 3>(hash_key_.bytes, accesskey, std::strlen(accesskey)));
}

ClientEntry* ClientIndex::find(const char* accesskey) const {
  // Acquire pairs with the release that published the table or filled a slot: an entry seen here
  // is whole, key and bucket.
  return find_in(*live_.load(std::memory_order_acquire), accesskey, hash_of(accesskey));
}

void ClientIndex::find_all(const char* const accesskeys[], size_t count,
                           ClientEntry* found[]) const {
  const Table& table = *live_.load(std::memory_order_acquire);
  size_t hashes[kKeysAtOnce];
  for (size_t first = 0; first < count; first += kKeysAtOnce) {
    const char* const* keys = accesskeys + first;
    const size_t batch = std::min(count - first, kKeysAtOnce);
    for (size_t i = 0; i < batch; ++i) {
      hashes[i] = hash_of(keys[i]);
      __builtin_prefetch(&table.slots[hashes[i] & table.mask]);
    }
    // The entry whose hash matches is all but always the key's own: fetched for every key before
    // any key is compared.
    for (size_t i = 0; i < batch; ++i) {
      size_t slot = hashes[i] & table.mask;
      found[first + i] = next_with_hash(table, hashes[i], &slot);
      prefetch(found[first + i]);
    }
    for (size_t i = 0; i < batch; ++i) {
      ClientEntry*& entry = found[first + i];
      // Another key of the same hash, rarely: the probe goes on past it.
      if (entry != nullptr && std::strcmp(entry->first.accesskey, keys[i]) != 0) {
        entry = find_in(table, keys[i], hashes[i]);
      }
    }
  }
}

ClientEntry* ClientIndex::find_in(const Table& table, const char* accesskey, size_t hash) {
  size_t slot = hash & table.mask;
  for (;;) {
    ClientEntry* entry = next_with_hash(table, hash, &slot);
    if (entry == nullptr || std::strcmp(entry->first.accesskey, accesskey) == 0) return entry;
    slot = (slot + 1) & table.mask;
  }
}

ClientEntry* ClientIndex::next_with_hash(const Table& table, size_t hash, size_t* slot) {
  for (;; *slot = (*slot + 1) & table.mask) {
    const Slot& held = table.slots[*slot];
    // Acquire pairs with the release that filled the slot: its hash and its entry are whole.
    ClientEntry* entry = held.entry.load(std::memory_order_acquire);
    if (entry == nullptr || held.hash == hash) return entry;
  }
}

void ClientIndex::insert(ClientEntry* entry) {
  const Table& live = *tables_.back();
  if ((count_ + 1) * kMaxLoadDivisor > live.mask + 1) {
    // Lookups go on in the old table until the new one, filled, is published.
    auto grown = std::make_unique<Table>((live.mask + 1) * 2);
    for (size_t slot = 0; slot <= live.mask; ++slot) {
      const Slot& held = live.slots[slot];
      ClientEntry* entry = held.entry.load(std::memory_order_relaxed);
      if (entry != nullptr) place(*grown, entry, held.hash);
    }
    tables_.push_back(std::move(grown));
    live_.store(tables_.back().get(), std::memory_order_release);
  }
  place(*tables_.back(), entry, hash_of(entry->first.accesskey));
  ++count_;
}

void ClientIndex::place(const Table& table, ClientEntry* entry, size_t hash) {
  size_t slot = hash & table.mask;
  while (table.slots[slot].entry.load(std::memory_order_relaxed) != nullptr) {
    slot = (slot + 1) & table.mask;
  }
  table.slots[slot].hash = hash;
  table.slots[slot].entry.store(entry, std::memory_order_release);
}

size_t ClientIndex::longest_probe() const {
  const Table& table = *tables_.back();
  size_t longest = 0;
  for (size_t slot = 0; slot <= table.mask; ++slot) {
    if (table.slots[slot].entry.load(std::memory_order_relaxed) == nullptr) continue;
    size_t home = table.slots[slot].hash & table.mask;
    longest = std::max(longest, ((slot - home) & table.mask) + 1);
  }
  return longest;
}

}  // namespace token_server
