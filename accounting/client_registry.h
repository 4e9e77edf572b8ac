// The client registry's types: the map key naming a client by its access key, its ordering, and
// the map from clients to their buckets. The map itself lives in TokenServer as `clients`.
#pragma once

#include <cstdint>
#include <cstring>
#include <map>

#include "accounting/TokenBucket.h"

// Re-rate bounds: a known client's bucket takes a requested rate or burst size only within them.
constexpr double kMaxGenRate = 10'000'000;   // tokens per second
constexpr double kMaxBurstSize = 1'000'000;  // tokens

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

// Every client ever seen, with its bucket. Entries are added and never removed, and a bucket
// never moves once inserted, so a reference found under a shared lock stays valid as long as
// the map lives. Each map has an id that no other map of the process has had, so that a bucket
// remembered together with its map's id is never taken for one of a later map at that address.
class ClientMap : public std::map<qos_user_instance_t, BasicTokenBucket, client_comp> {
 public:
  ClientMap();
  ClientMap(const ClientMap&) = delete;  // a copy would share the id
  ClientMap& operator=(const ClientMap&) = delete;
  uint64_t id() const { return id_; }

 private:
  const uint64_t id_;  // from 1 up
};
