// The client registry's types: the map key naming a client by its access key, its ordering, the
// index that finds a client without a lock, and the map from clients to their buckets. The map
// itself lives in TokenServer as `clients`.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "accounting/TokenBucket.h"
#include "base/mutex.h"

namespace token_server {

// Longest access key, in bytes; the key field holds it with its terminating NUL.
constexpr int kMaxAccessKeyLength = 29;

// A client's identity. Only `accesskey` is filled and compared; the other fields are always zero.
struct qos_user_instance_t {
  char reserved_name[30];
  char reserved_group[20];
  char accesskey[kMaxAccessKeyLength + 1];  // NUL-terminated
  char reserved_region[50];
  char reserved_note[150];
  int64_t reserved_first;
  int64_t reserved_second;
  int32_t reserved_third;
};

// Orders keys by the bytes of their access keys (unsigned, as strcmp compares them).
struct client_comp {
  bool operator()(const qos_user_instance_t& a, const qos_user_instance_t& b) const {
    return std::strcmp(a.accesskey, b.accesskey) < 0;
  }
};

// A client: its key and its bucket, as the client map holds them.
using ClientEntry = std::pair<const qos_user_instance_t, BasicTokenBucket>;

// Bytes of the secret that keys the client index's hash (SipHash-1-3's key).
constexpr size_t kIndexHashKeyBytes = 16;

// Finds a client's entry by its access key without a lock (client_index.cpp).
//
// An open-addressing hash table (linear probing, at most half full) of pointers to the map's
// entries, which never move or go away, each beside its key's hash. A lookup reads the slot at the
// key's hash and compares the key of the entry there: a few loads, where the ordered map compares
// keys at a dozen or more nodes, each a likely cache miss among many clients. A slot whose hash
// differs is passed over without reading its entry, so a lookup reads, all but always, only its
// own entry.
//
// The hash is SipHash-1-3 keyed with a secret drawn at random once per process. Whoever picks the
// access keys cannot tell which slots they take, so no set of keys can be made offline to pile
// into one probe run and make every insertion and lookup walk it.
//
// Thread safety: lookups may run beside an insertion; insertions are serialized by the caller. A
// filled slot never changes. A table that grows is replaced by a larger copy, and the old one
// stays allocated while the index lives, so a lookup still reading it sees a consistent, if
// older, set of clients.
class ClientIndex {
 public:
  struct HashKey {
    unsigned char bytes[kIndexHashKeyBytes];
  };

  // Hashes with the process's secret.
  ClientIndex();
  // Hashes with `key`, for a test that needs the same slots on every run.
  explicit ClientIndex(const HashKey& key);
  ClientIndex(const ClientIndex&) = delete;
  ClientIndex& operator=(const ClientIndex&) = delete;

  // The keys of a request are looked up this many at once: the slots of all of them, then their
  // entries, are fetched before any is read, so that their cache misses overlap instead of
  // following one another. About as many misses as a core keeps in flight.
  static constexpr size_t kKeysAtOnce = 16;

  // The entry whose access key is `accesskey`, or nullptr.
  ClientEntry* find(const char* accesskey) const;
  // find() for each of `count` keys, into `found`.
  void find_all(const char* const accesskeys[], size_t count, ClientEntry* found[]) const;
  // Adds `entry`, whose key the index does not hold yet. One insertion at a time.
  void insert(ClientEntry* entry);
  // Calls `visit` with every entry held, without a lock: an entry added meanwhile may be missed.
  // Entries lie scattered on the heap, each a likely cache miss: those a few slots ahead are
  // fetched while the current one is visited.
  template <typename Visit>
  void for_each(Visit visit) const {
    constexpr size_t kSlotsAhead = 16;
    const Table* table = live_.load(std::memory_order_acquire);
    const size_t capacity = table->mask + 1;
    for (size_t slot = 0; slot < capacity; ++slot) {
      if (slot + kSlotsAhead < capacity) {
        prefetch(table->slots[slot + kSlotsAhead].entry.load(std::memory_order_relaxed));
      }
      ClientEntry* entry = table->slots[slot].entry.load(std::memory_order_acquire);
      if (entry != nullptr) visit(entry);
    }
  }
  // Entries held; not beside an insertion.
  size_t size() const { return count_; }

  // ---- For tests only

  // The most slots a lookup of a held key reads; not beside an insertion.
  size_t longest_probe() const;

 private:
  struct Slot {
    std::atomic<ClientEntry*> entry{nullptr};  // set once, after `hash`
    size_t hash = 0;                           // of the entry's access key
  };
  struct Table {
    explicit Table(size_t capacity);
    size_t mask;  // capacity - 1; the capacity is a power of two
    std::unique_ptr<Slot[]> slots;
  };

  size_t hash_of(const char* accesskey) const;
  // The entry of `accesskey`, whose hash is `hash`, in `table`, or nullptr.
  static ClientEntry* find_in(const Table& table, const char* accesskey, size_t hash);
  // The entry of the first slot from `*slot` on that holds `hash`, its slot left in `*slot`; most
  // likely the entry of the key hashed, since two keys rarely share a hash. nullptr when an empty
  // slot comes first.
  static ClientEntry* next_with_hash(const Table& table, size_t hash, size_t* slot);
  // Starts loading an entry's key and bucket into the cache; a prefetch never faults.
  static void prefetch(const ClientEntry* entry) {
    if (entry == nullptr) return;
    __builtin_prefetch(entry->first.accesskey);
    __builtin_prefetch(&entry->second);
    __builtin_prefetch(reinterpret_cast<const char*>(&entry->second) + sizeof entry->second - 1);
  }
  static void place(const Table& table, ClientEntry* entry, size_t hash);

  const HashKey hash_key_;          // set at construction; every lookup and insertion reads it
  std::atomic<const Table*> live_;  // where lookups start
  // Every table ever live, the current one last. Written by insertions only.
  std::vector<std::unique_ptr<Table>> tables_;
  size_t count_ = 0;  // entries held; written by insertions only
};

// Every client ever seen, with its bucket. The ordered map owns the buckets: entries are added
// and never removed, and a bucket never moves once inserted, so a pointer to one stays valid as
// long as the map lives.
//
// Thread safety: lookups go through the index, take no lock and may run beside an insertion.
// Insertions take insertion_mutex_, one at a time, and so does size(); nothing else does.
class ClientMap {
 public:
  ClientMap() = default;
  ClientMap(const ClientMap&) = delete;
  ClientMap& operator=(const ClientMap&) = delete;

  // The bucket of `accesskey`, or nullptr for a key not seen yet. May run beside an insertion.
  BasicTokenBucket* find(const char* accesskey) const;
  // The entry of each of `count` keys, into `found` (nullptr for a key not seen yet), with the
  // keys' cache misses overlapped. May run beside an insertion.
  void find_all(const char* const accesskeys[], size_t count, ClientEntry* found[]) const {
    index_.find_all(accesskeys, count, found);
  }
  // Adds `key` with a new bucket of `rate` and `burst_size`, empty at `empty_time`, unless the
  // key is present: then the present bucket stands.
  void insert(const qos_user_instance_t& key, double rate, double burst_size, double empty_time)
      EXCLUDES(insertion_mutex_);
  // Clients held.
  size_t size() const EXCLUDES(insertion_mutex_);
  // Calls `visit` with every client's access key and bucket, taking no lock of the map's: a client
  // added meanwhile may be missed. May run beside lookups and insertions.
  template <typename Visit>
  void for_each(Visit visit) const {
    index_.for_each([&visit](ClientEntry* entry) { visit(entry->first.accesskey, entry->second); });
  }

 private:
  mutable token_base::Mutex insertion_mutex_;
  std::map<qos_user_instance_t, BasicTokenBucket, client_comp> buckets_
      GUARDED_BY(insertion_mutex_);
  // Its lookups take no lock; its insertions and its size are under insertion_mutex_.
  ClientIndex index_;
};

}  // namespace token_server
