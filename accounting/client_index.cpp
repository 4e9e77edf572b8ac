// The client index: a lock-free lookup from access key to the client map's entry.
#include <cstring>
#include <functional>
#include <string_view>

#include "accounting/client_registry.h"

namespace {

constexpr size_t kFirstCapacity = 64;
// Growth keeps the table at most half full, so that a probe mostly ends at its first slot.
constexpr size_t kMaxLoadDivisor = 2;

size_t hash_of(const char* accesskey) {
  return std::hash<std::string_view>{}(std::string_view(accesskey));
}

}  // namespace

ClientIndex::Table::Table(size_t capacity)
    : mask(capacity - 1), slots(new std::atomic<ClientEntry*>[capacity]()) {}

ClientIndex::ClientIndex() {
  tables_.push_back(std::make_unique<Table>(kFirstCapacity));
  live_.store(tables_.back().get(), std::memory_order_release);
}

ClientEntry* ClientIndex::find(const char* accesskey) const {
  // Acquire pairs with the release that published the table or filled a slot: an entry seen here
  // is whole, key and bucket.
  const Table* table = live_.load(std::memory_order_acquire);
  for (size_t slot = hash_of(accesskey) & table->mask;; slot = (slot + 1) & table->mask) {
    ClientEntry* entry = table->slots[slot].load(std::memory_order_acquire);
    if (entry == nullptr) return nullptr;
    if (std::strcmp(entry->first.accesskey, accesskey) == 0) return entry;
  }
}

void ClientIndex::insert(ClientEntry* entry) {
  const Table& live = *tables_.back();
  if ((count_ + 1) * kMaxLoadDivisor > live.mask + 1) {
    // Lookups go on in the old table until the new one, filled, is published.
    auto grown = std::make_unique<Table>((live.mask + 1) * 2);
    for (size_t slot = 0; slot <= live.mask; ++slot) {
      ClientEntry* held = live.slots[slot].load(std::memory_order_relaxed);
      if (held != nullptr) place(*grown, held);
    }
    tables_.push_back(std::move(grown));
    live_.store(tables_.back().get(), std::memory_order_release);
  }
  place(*tables_.back(), entry);
  ++count_;
}

void ClientIndex::place(const Table& table, ClientEntry* entry) {
  size_t slot = hash_of(entry->first.accesskey) & table.mask;
  while (table.slots[slot].load(std::memory_order_relaxed) != nullptr) {
    slot = (slot + 1) & table.mask;
  }
  table.slots[slot].store(entry, std::memory_order_release);
}
