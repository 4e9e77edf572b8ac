// The client registry through grant_tokens, on a server that never listens and has no workers,
// and its index on its own.
#include "accounting/client_registry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "accounting/TokenBucket.h"
#include "harness/crafted_keys.h"
#include "server/TokenServer.h"
#include "tests/support/poll_until.h"

namespace token_server {

namespace {

constexpr double kFastRate = 1000;
constexpr double kBurst = 100;
constexpr double kAboveBurst = 500;

class ClientRegistryTest : public ::testing::Test {
 protected:
  double grant(const char* key, double need, double rate = kFastRate, double burst = kBurst) {
    return server_.grant_tokens(key, need, rate, burst);
  }

  // The rate and burst size stored for `key`; zeros when the key is unknown.
  BasicTokenBucket::Rates stored(const char* key) {
    BasicTokenBucket* bucket = server_.find_client(key);
    if (bucket == nullptr) {
      ADD_FAILURE() << "no bucket for " << key;
      return {0, 0};
    }
    return bucket->rates();
  }

  TokenServer server_{0, 0};
};

TEST_F(ClientRegistryTest, NewClientIsGrantedItsWholeNeedEvenAboveItsBurst) {
  EXPECT_FALSE(server_.is_known_client("fresh"));
  DrawDetail detail{7, 7};
  EXPECT_EQ(server_.grant_tokens("fresh", kAboveBurst, kFastRate, kBurst, &detail), kAboveBurst);
  EXPECT_TRUE(server_.is_known_client("fresh"));
  // Nothing is drawn from the new bucket: it stays full, and there is nothing to wait for.
  EXPECT_EQ(detail.remaining, kBurst);
  EXPECT_EQ(detail.retry_after_ms, 0u);
  EXPECT_EQ(stored("fresh").rate, kFastRate);
  EXPECT_EQ(stored("fresh").burstSize, kBurst);
}

TEST_F(ClientRegistryTest, SecondRequestFindsTheBucketFull) {
  grant("second", 1);
  EXPECT_EQ(grant("second", kAboveBurst), kBurst);
  // Full also when filling it would take longer than any host has been up: 2e9 s at 1 token/s.
  grant("slow", 0, 1, 2e9);
  EXPECT_EQ(grant("slow", 2e9, 1, 2e9), 2e9);
}

// Each row's second key is a client of its own beside the first: new, so granted its whole need,
// while the first keeps its own bucket.
TEST(ClientRegistryKeysTest, AKeyAnswersOnlyForItself) {
  const std::string longest(kMaxAccessKeyLength, 'k');
  const std::pair<std::string, std::string> kRows[] = {
      {"Key", "key"}, {"key", "Key"}, {longest, longest.substr(1)}, {"ab", "abc"}, {"ab", "a"},
  };
  for (const auto& [first, second] : kRows) {
    TokenServer server(0, 0);
    server.grant_tokens(first.c_str(), 1, kFastRate, kBurst);
    ASSERT_TRUE(server.is_known_client(first.c_str())) << first;
    EXPECT_FALSE(server.is_known_client(second.c_str())) << first << " " << second;
    EXPECT_EQ(server.grant_tokens(second.c_str(), kAboveBurst, kFastRate, 7), kAboveBurst)
        << second;
    EXPECT_EQ(server.grant_tokens(first.c_str(), kAboveBurst, kFastRate, kBurst), kBurst) << first;
    EXPECT_EQ(server.grant_tokens(second.c_str(), kAboveBurst, kFastRate, 7), 7) << second;
  }
}

TEST(ClientRegistryLifetimeTest, ALaterServerAtTheSameAddressStartsEmpty) {
  std::optional<TokenServer> server;
  server.emplace(0, 0);
  server->grant_tokens("kept", 1, kFastRate, kBurst);
  ASSERT_TRUE(server->is_known_client("kept"));
  server.reset();
  server.emplace(0, 0);
  EXPECT_FALSE(server->is_known_client("kept"));
  EXPECT_EQ(server->grant_tokens("kept", kAboveBurst, kFastRate, kBurst), kAboveBurst);
}

// Keys made offline to share a slot under a fixed-seed hash take slots like any others under the
// index's keyed hash: every lookup of one reads a few slots, not a run as long as the keys.
TEST(ClientIndexTest, CraftedKeysDoNotPileUpAndEachLookupFindsOnlyItsOwn) {
  constexpr size_t kKeys = 500;  // at most 1,024 slots: all of them start at slot 0 there
  constexpr int kCraftedLowBits = 10;
  constexpr size_t kShortProbe = 16;
  // A fixed secret, so that the slots are the same on every run.
  const ClientIndex::HashKey kSecret = {{7, 1, 8, 2, 8, 1, 8, 2, 8, 4, 5, 9, 0, 4, 5, 2}};
  ClientIndex index(kSecret);
  std::deque<ClientEntry> entries;  // never move, as the map's entries never do
  for (const std::string& accesskey : keys_crafted_against_std_hash(kKeys, kCraftedLowBits)) {
    qos_user_instance_t key = {};
    accesskey.copy(key.accesskey, kMaxAccessKeyLength);
    entries.emplace_back(std::piecewise_construct, std::forward_as_tuple(key),
                         std::forward_as_tuple(1, 1));
    index.insert(&entries.back());
  }
  EXPECT_LE(index.longest_probe(), kShortProbe);
  // Alone and together (a request's keys, many batches' worth), held keys and keys never added
  // alike: each finds its own entry or none.
  std::vector<std::string> absent;
  for (size_t i = 0; i < kKeys; ++i) absent.push_back("absent-" + std::to_string(i));
  std::vector<const char*> keys;
  std::vector<ClientEntry*> expected;
  for (size_t i = 0; i < kKeys; ++i) {
    EXPECT_EQ(index.find(entries[i].first.accesskey), &entries[i]);
    EXPECT_EQ(index.find(absent[i].c_str()), nullptr);
    keys.insert(keys.end(), {entries[i].first.accesskey, absent[i].c_str()});
    expected.insert(expected.end(), {&entries[i], nullptr});
  }
  std::vector<ClientEntry*> found(keys.size());
  index.find_all(keys.data(), keys.size(), found.data());
  EXPECT_EQ(found, expected);
}

// Each row re-rates a client stored with rate 5 and burst 5 once.
struct ReRateCase {
  double requested_rate;
  double requested_burst;
  double expected_rate;
  double expected_burst;
};

TEST_F(ClientRegistryTest, ReRateTakesOnlyValuesWithinTheBounds) {
  const ReRateCase cases[] = {
      {kMaxGenRate, 5, kMaxGenRate, 5},
      {kMaxGenRate + 1, 5, 5, 5},
      {0, 5, 5, 5},
      {-1, 5, 5, 5},
      {5, kMaxBurstSize, 5, kMaxBurstSize},
      {5, kMaxBurstSize + 1, 5, 5},
      {5, 0, 5, 5},
      {5, -3, 5, 5},
      {0, kMaxBurstSize + 1, 5, 5},
  };
  int row = 0;
  for (const ReRateCase& c : cases) {
    std::string key = "rerate" + std::to_string(row++);
    grant(key.c_str(), 1, 5, 5);
    grant(key.c_str(), 1, c.requested_rate, c.requested_burst);
    BasicTokenBucket::Rates rates = stored(key.c_str());
    EXPECT_EQ(rates.rate, c.expected_rate) << key;
    EXPECT_EQ(rates.burstSize, c.expected_burst) << key;
  }
}

TEST_F(ClientRegistryTest, NewClientKeepsARateAboveTheBound) {
  constexpr double kCreatedRate = 2 * kMaxGenRate;
  grant("greedy", 1, kCreatedRate, kBurst);
  grant("greedy", 1, kCreatedRate, kBurst);
  EXPECT_EQ(stored("greedy").rate, kCreatedRate);
  grant("greedy", 1, 3 * kMaxGenRate, kBurst);  // differs, is refused, keeps the stored rate
  EXPECT_EQ(stored("greedy").rate, kCreatedRate);
  EXPECT_EQ(stored("greedy").burstSize, kBurst);
}

TEST_F(ClientRegistryTest, ChangedBurstAppliesFromTheNextRequest) {
  constexpr double kSmallerBurst = 10;
  grant("shrink", 1);
  EXPECT_EQ(grant("shrink", kAboveBurst, kFastRate, kSmallerBurst), kBurst);
  EXPECT_EQ(stored("shrink").burstSize, kSmallerBurst);
  EXPECT_LE(grant("shrink", kAboveBurst, kFastRate, kSmallerBurst), kSmallerBurst);
}

TEST_F(ClientRegistryTest, ChangedRateAppliesFromTheNextRequest) {
  constexpr double kSlowRate = 1;  // tokens per second
  constexpr double kSlowBurst = 1000;
  constexpr auto kPoll = std::chrono::milliseconds(500);
  constexpr double kRefilled = 100;  // tokens: 10 us at the new rate, 100 s at the old one
  grant("speedup", 1, kSlowRate, kSlowBurst);
  grant("speedup", kSlowBurst, kSlowRate, kSlowBurst);  // empties it
  // Served at the old rate: well under a second after emptying, the bucket holds no token.
  EXPECT_LE(grant("speedup", kSlowBurst, kMaxGenRate, kSlowBurst), 1);
  EXPECT_EQ(stored("speedup").rate, kMaxGenRate);
  EXPECT_TRUE(poll_until(
      [&] { return grant("speedup", kSlowBurst, kMaxGenRate, kSlowBurst) >= kRefilled; }, kPoll));
}

// The users' guarantee: however many threads draw from one key, and whichever of two bursts each
// request names, no more leaves the bucket than its largest burst plus what its rate added
// meanwhile. Every other request re-rates the bucket in the second run.
TEST(GrantContentionTest, ManyThreadsOnOneKeyNeverExceedTheBucket) {
  constexpr int kThreads = 8;
  constexpr double kRate = 1000;
  constexpr double kFullBurst = 1000;
  constexpr double kNeed = 3;
  constexpr double kRunMillis = 1000;
  constexpr double kRoundingAllowance = 1;
  constexpr char kSharedKey[] = "shared";

  for (double other_burst : {kFullBurst, kFullBurst - 1}) {
    SCOPED_TRACE(other_burst);
    TokenServer server(0, 0);
    server.grant_tokens(kSharedKey, 0, kRate, kFullBurst);  // created full
    std::vector<double> granted(kThreads, 0);
    std::vector<int> out_of_range(kThreads, 0);
    std::atomic<bool> go{false};
    std::vector<std::thread> drawers;
    for (int i = 0; i < kThreads; ++i) {
      drawers.emplace_back([&, i] {
        while (!go.load()) std::this_thread::yield();
        double stop_at = steadyNowMillis() + kRunMillis;
        for (int request = 0; steadyNowMillis() < stop_at; ++request) {
          double burst = request % 2 == 0 ? kFullBurst : other_burst;
          double one = server.grant_tokens(kSharedKey, kNeed, kRate, burst);
          if (one < 0 || one > kNeed) ++out_of_range[i];
          granted[i] += one;
        }
      });
    }
    double start = steadyNowMillis();
    go.store(true);
    for (std::thread& drawer : drawers) drawer.join();
    double elapsed_seconds = (steadyNowMillis() - start) / 1000;

    double total = 0;
    for (int i = 0; i < kThreads; ++i) {
      total += granted[i];
      EXPECT_EQ(out_of_range[i], 0);
    }
    double most = kFullBurst + kRate * elapsed_seconds + kRoundingAllowance;
    EXPECT_LE(total, most);
    EXPECT_GE(total, 0.9 * most);
  }
}

// Insertions, lookups, draws and re-rates all at once; the thread-sanitizer build checks that
// none of them races with another.
TEST(GrantContentionTest, InsertsAndReRatesRunBesideDraws) {
  constexpr int kKeysPerInserter = 2000;
  constexpr int kDrawsPerDrawer = 20000;
  constexpr double kNeed = 2;
  constexpr char kSharedKey[] = "busy";

  TokenServer server(0, 0);
  server.grant_tokens(kSharedKey, 0, kFastRate, kBurst);
  std::atomic<int> out_of_range{0};
  auto inserter = [&](char prefix) {
    for (int i = 0; i < kKeysPerInserter; ++i) {
      std::string key = prefix + std::to_string(i);
      if (server.grant_tokens(key.c_str(), kNeed, kFastRate, kBurst) != kNeed) ++out_of_range;
    }
  };
  // One drawer keeps the stored values, the other flips them on every request.
  auto drawer = [&](bool flips) {
    for (int i = 0; i < kDrawsPerDrawer; ++i) {
      bool odd = flips && i % 2 == 1;
      double one = server.grant_tokens(kSharedKey, kNeed, odd ? 2 * kFastRate : kFastRate,
                                       odd ? 2 * kBurst : kBurst);
      if (one < 0 || one > kNeed) ++out_of_range;
    }
  };
  std::thread threads[] = {std::thread(inserter, 'a'), std::thread(inserter, 'b'),
                           std::thread(drawer, false), std::thread(drawer, true)};
  for (std::thread& thread : threads) thread.join();

  EXPECT_EQ(out_of_range.load(), 0);
  // Inserted while the index grew under lookups of other keys, every key is found again.
  for (char prefix : {'a', 'b'}) {
    for (int i = 0; i < kKeysPerInserter; ++i) {
      std::string key = prefix + std::to_string(i);
      EXPECT_TRUE(server.is_known_client(key.c_str())) << key;
    }
  }
  EXPECT_FALSE(server.is_known_client("c0"));
}

}  // namespace

}  // namespace token_server
