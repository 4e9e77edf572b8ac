// Rendezvous hashing: the shared weights and failover orders, how evenly keys spread, and how few
// move when a server joins or leaves.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/client/fleet_vectors.h"
#include "token_client/ShardedClient.h"

namespace token_client {
namespace {

constexpr int kKeyCount = 30000;

std::vector<std::string> server_names(int count) {
  std::vector<std::string> names;
  for (int i = 1; i <= count; ++i) names.push_back("10.0.0." + std::to_string(i) + ":6666");
  return names;
}

std::string key_number(int i) { return "client-" + std::to_string(i); }

std::vector<size_t> indexes(const rapidjson::Value& array) {
  std::vector<size_t> list;
  for (const rapidjson::Value& index : array.GetArray()) list.push_back(index.GetUint());
  return list;
}

// The Python client's tests read the same file: both must place a key alike, up or down, and
// keys must not move from one release to the next.
TEST(Rendezvous, MatchesTheSharedVectors) {
  rapidjson::Document vectors = fleet_vectors();
  for (const rapidjson::Value& row : vectors["weights"].GetArray()) {
    EXPECT_EQ(rendezvous_weight(row["server"].GetString(), row["key"].GetString()),
              std::strtoull(row["weight"].GetString(), nullptr, 16))
        << row["server"].GetString() << " " << row["key"].GetString();
  }
  for (const rapidjson::Value& row : vectors["failover"].GetArray()) {
    std::vector<std::string> names;
    for (const rapidjson::Value& name : row["servers"].GetArray())
      names.push_back(name.GetString());
    std::string key = row["key"].GetString();
    std::vector<size_t> order = indexes(row["order"]);
    EXPECT_EQ(rendezvous_order(names, key), order) << key;
    EXPECT_EQ(rendezvous_pick(names, key), order[0]) << key;
    for (const rapidjson::Value& pick : row["picks"].GetArray()) {
      std::vector<bool> usable(names.size(), true);
      for (size_t down : indexes(pick["down"])) usable[down] = false;
      size_t expected = pick["pick"].IsNull() ? kNoServer : pick["pick"].GetUint();
      EXPECT_EQ(rendezvous_pick(names, key, usable), expected) << key;
    }
  }
}

// The properties placement rests on, over many keys: the pick is the same whatever the order of
// the list, keys spread evenly, a fourth server takes about a quarter of them and nothing else
// moves, and removing a server moves only its keys. The Python client computes the same weights
// (the shared vectors above), so this holds for it too.
TEST(Rendezvous, SpreadsKeysEvenlyAndMovesOnlyThoseOfTheServerAddedOrRemoved) {
  std::vector<std::string> three = server_names(3);
  std::vector<std::string> four = server_names(4);
  std::vector<std::string> reversed(four.rbegin(), four.rend());
  std::vector<std::string> without_second = {four[0], four[2], four[3]};
  std::vector<int> keys_of(three.size(), 0);
  int moved = 0;
  for (int i = 0; i < kKeyCount; ++i) {
    std::string key = key_number(i);
    size_t before = rendezvous_pick(three, key);
    size_t after = rendezvous_pick(four, key);
    ++keys_of[before];
    EXPECT_EQ(four[after], reversed[rendezvous_pick(reversed, key)]) << key;
    EXPECT_TRUE(after == before || after == 3) << "a key moved between two old servers: " << key;
    moved += after != before;
    std::string removed = without_second[rendezvous_pick(without_second, key)];
    EXPECT_TRUE(after == 1 || removed == four[after]) << key;
  }
  for (size_t server = 0; server < keys_of.size(); ++server) {
    double share = static_cast<double>(keys_of[server]) / kKeyCount;
    std::printf("server %zu of 3: %d of %d keys (%.1f%%)\n", server + 1, keys_of[server], kKeyCount,
                100 * share);
    EXPECT_GT(share, 0.30);
    EXPECT_LT(share, 0.37);
  }
  double share = static_cast<double>(moved) / kKeyCount;
  std::printf("adding a 4th server moves %d of %d keys (%.1f%%; ideal 25%%)\n", moved, kKeyCount,
              100 * share);
  EXPECT_GT(share, 0.22);
  EXPECT_LT(share, 0.28);
}

}  // namespace
}  // namespace token_client
