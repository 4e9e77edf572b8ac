// ShardedClient against in-process servers: each key's bucket lives on one server, also when a
// fourth server takes some keys over, and batches come back in the caller's order.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "harness/in_process_server.h"
#include "token_client/ShardedClient.h"

namespace token_client {
namespace {

using token_server::InProcessServer;

constexpr int kTestWorkers = 4;
constexpr int kBatchKeys = 150;  // a batch of this many fits one request line
constexpr int32_t kBurst = 5;
constexpr int32_t kSlowRate = 1;  // token/s: a drained bucket stays nearly empty during a test

std::vector<TokenRequest> batch_of_keys(int first, int count, const std::string& prefix) {
  std::vector<TokenRequest> batch;
  for (int i = first; i < first + count; ++i) {
    batch.push_back({prefix + std::to_string(i), kBurst, kSlowRate, kBurst});
  }
  return batch;
}

class ShardingTest : public ::testing::Test {
 protected:
  void start_servers(int count) {
    while (static_cast<int>(servers_.size()) < count) {
      servers_.push_back(std::make_unique<InProcessServer>(kTestWorkers));
    }
  }

  std::vector<Endpoint> endpoints(int count) const {
    std::vector<Endpoint> list;
    for (int i = 0; i < count; ++i) list.push_back({"127.0.0.1", servers_[i]->port()});
    return list;
  }

  // The servers that hold a bucket for `key`.
  std::vector<size_t> holders(const std::string& key) {
    std::vector<size_t> found;
    for (size_t i = 0; i < servers_.size(); ++i) {
      if (servers_[i]->server().is_known_client(key.c_str())) found.push_back(i);
    }
    return found;
  }

  std::vector<uint32_t> acquire_all(ShardedClient& client, const std::vector<TokenRequest>& batch) {
    std::vector<uint32_t> granted;
    Status answered = client.acquire_batch(batch, &granted);
    EXPECT_TRUE(answered.ok()) << answered.message();
    return granted;
  }

  std::vector<std::unique_ptr<InProcessServer>> servers_;
};

TEST_F(ShardingTest, EachKeyLivesOnTheServerItHashesTo) {
  start_servers(4);
  ShardedClient client(endpoints(3));
  std::vector<TokenRequest> batch = batch_of_keys(0, kBatchKeys, "stable-");
  EXPECT_EQ(acquire_all(client, batch), std::vector<uint32_t>(batch.size(), kBurst));

  std::vector<int> keys_of(3, 0);
  for (const TokenRequest& entry : batch) {
    size_t server = client.server_for(entry.accesskey);
    EXPECT_EQ(holders(entry.accesskey), std::vector<size_t>{server}) << entry.accesskey;
    ++keys_of[server];
  }
  std::printf("%d keys over 3 servers: %d / %d / %d\n", kBatchKeys, keys_of[0], keys_of[1],
              keys_of[2]);
  // Sent again, every key drains its full bucket, then finds it empty, wherever the batch splits.
  EXPECT_EQ(acquire_all(client, batch), std::vector<uint32_t>(batch.size(), kBurst));
  for (size_t i = 0; i < batch.size(); ++i) {
    uint32_t granted = 99;
    ASSERT_TRUE(client.acquire(batch[i], &granted).ok());
    EXPECT_LE(granted, 1u);
  }
  // With a fourth server, the keys it wins (rendezvous_test.cpp: about a quarter) start a full
  // bucket there; every other key still draws from the bucket it drained.
  ShardedClient four(endpoints(4));
  std::vector<uint32_t> granted = acquire_all(four, batch);
  for (size_t i = 0; i < batch.size(); ++i) {
    const std::string& key = batch[i].accesskey;
    size_t before = client.server_for(key);
    size_t after = four.server_for(key);
    if (after == before) {
      EXPECT_LE(granted[i], 1u) << key;
    } else {
      EXPECT_EQ(after, 3u) << "a key moved between two old servers: " << key;
      EXPECT_EQ(granted[i], static_cast<uint32_t>(kBurst)) << key;
    }
  }
}

TEST_F(ShardingTest, BatchIsAnsweredInTheCallersOrder) {
  start_servers(3);
  ShardedClient client(endpoints(3));
  std::vector<TokenRequest> batch;
  std::vector<uint32_t> expected;
  for (int i = 0; i < 40; ++i) {
    int32_t need = i % 7 + 1;  // new keys get their need: each answer shows where it came from
    batch.push_back({"order-" + std::to_string(i), need, kSlowRate, 10});
    expected.push_back(static_cast<uint32_t>(need));
  }
  // A new key's need is granted without a draw; its full bucket then gives 7 of 10, then 3.
  batch.push_back({"order-3", 7, kSlowRate, 10});
  batch.push_back({"order-3", 7, kSlowRate, 10});
  expected.insert(expected.end(), {7, 3});
  EXPECT_EQ(acquire_all(client, batch), expected);
}

}  // namespace
}  // namespace token_client
