// Rendezvous hashing: the documented weights, how evenly keys spread, and how few move when a
// server joins or leaves.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

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

// The Python client's tests hold the same values: both must pick the same server for a key.
TEST(Rendezvous, WeightsMatchTheDocumentedHash) {
  EXPECT_EQ(rendezvous_weight("127.0.0.1:6666", "svc-a"), 0x9b7950a1f0d9131bULL);
  EXPECT_EQ(rendezvous_weight("127.0.0.1:6667", "svc-a"), 0xa0aa57764992e4c0ULL);
  EXPECT_EQ(rendezvous_weight("10.0.0.1:6666", ""), 0x2d3e6c66c5c210f1ULL);
  EXPECT_EQ(rendezvous_weight("localhost:6666", "caf\xc3\xa9"), 0x5ac9c47191edfabaULL);
  std::vector<std::string> names = server_names(3);
  std::vector<size_t> picks;
  for (int i = 0; i < 12; ++i) picks.push_back(rendezvous_pick(names, "key-" + std::to_string(i)));
  EXPECT_EQ(picks, (std::vector<size_t>{0, 1, 1, 0, 0, 1, 1, 1, 0, 2, 1, 0}));
}

TEST(Rendezvous, PickDoesNotDependOnTheOrderOfTheList) {
  std::vector<std::string> names = server_names(5);
  std::vector<std::string> reversed(names.rbegin(), names.rend());
  for (int i = 0; i < 1000; ++i) {
    std::string key = key_number(i);
    EXPECT_EQ(names[rendezvous_pick(names, key)], reversed[rendezvous_pick(reversed, key)]);
  }
}

TEST(Rendezvous, SpreadsKeysEvenlyOverThreeServers) {
  std::vector<std::string> names = server_names(3);
  std::vector<int> keys_of(names.size(), 0);
  for (int i = 0; i < kKeyCount; ++i) ++keys_of[rendezvous_pick(names, key_number(i))];
  for (size_t server = 0; server < keys_of.size(); ++server) {
    double share = static_cast<double>(keys_of[server]) / kKeyCount;
    std::printf("server %zu of 3: %d of %d keys (%.1f%%)\n", server + 1, keys_of[server], kKeyCount,
                100 * share);
    EXPECT_GT(share, 0.30);
    EXPECT_LT(share, 0.37);
  }
}

TEST(Rendezvous, AFourthServerTakesAQuarterOfTheKeysAndNothingElseMoves) {
  std::vector<std::string> three = server_names(3);
  std::vector<std::string> four = server_names(4);
  int moved = 0;
  for (int i = 0; i < kKeyCount; ++i) {
    size_t before = rendezvous_pick(three, key_number(i));
    size_t after = rendezvous_pick(four, key_number(i));
    if (before == after) continue;
    ++moved;
    EXPECT_EQ(after, 3u) << "a key moved between two old servers";
  }
  double share = static_cast<double>(moved) / kKeyCount;
  std::printf("adding a 4th server moves %d of %d keys (%.1f%%; ideal 25%%)\n", moved, kKeyCount,
              100 * share);
  EXPECT_GT(share, 0.22);
  EXPECT_LT(share, 0.28);
}

TEST(Rendezvous, RemovingAServerMovesOnlyItsKeys) {
  std::vector<std::string> four = server_names(4);
  std::vector<std::string> without_second = {four[0], four[2], four[3]};
  for (int i = 0; i < kKeyCount; ++i) {
    std::string before = four[rendezvous_pick(four, key_number(i))];
    std::string after = without_second[rendezvous_pick(without_second, key_number(i))];
    EXPECT_TRUE(before == four[1] || before == after) << key_number(i);
  }
}

}  // namespace
}  // namespace token_client
