// ShardedClient when a server fails: the keys of a lost server go as each policy says (the rows of
// fleet_vectors.json), no call waits on a server known to be down, a server is marked down only
// for its own failure, and a batch's parts go out together from the calling thread. Their return
// once a probe finds their server up is shown with real servers (fleet_end_to_end_test.cpp).
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "harness/in_process_server.h"
#include "tests/client/fleet_vectors.h"
#include "tests/client/scripted_server.h"
#include "token_client/ShardedClient.h"

namespace token_client {
namespace {

using token_server::InProcessServer;
using token_server::TestClient;

constexpr int kTestWorkers = 4;
constexpr int32_t kNeed = 3;
constexpr int32_t kSlowRate = 1;  // token/s
constexpr int32_t kBurst = 5;
constexpr std::chrono::milliseconds kShortTimeout{200};
// A first probe this late never comes during a test, which can then count what calls did.
constexpr std::chrono::milliseconds kNoProbe = std::chrono::hours(1);
constexpr size_t kLost = 2;  // the server each test makes fail

ClientOptions short_timeouts() {
  ClientOptions options;
  options.connect_timeout = options.reply_timeout = kShortTimeout;
  return options;
}

FleetOptions fleet_options(FailurePolicy policy) {
  FleetOptions options;
  options.policy = policy;
  options.first_probe_delay = options.max_probe_delay = kNoProbe;
  return options;
}

// A loopback port where nothing listens: connections to it are refused.
uint16_t closed_port() {
  ScriptedServer gone({});
  return gone.port();
}

// Requests for `count` keys named `prefix`N whose own server is `server`.
std::vector<TokenRequest> keys_of(const ShardedClient& client, size_t server, size_t count,
                                  const std::string& prefix) {
  std::vector<TokenRequest> keys;
  for (int i = 0; keys.size() < count; ++i) {
    std::string key = prefix + std::to_string(i);
    if (client.server_for(key) == server) keys.push_back({key, kNeed, kSlowRate, kBurst});
  }
  return keys;
}

// Servers 0 and 1 are in-process servers; the test says what stands at kLost.
class FleetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int i = 0; i < 2; ++i) servers_.push_back(std::make_unique<InProcessServer>(kTestWorkers));
  }

  std::vector<Endpoint> fleet_with(uint16_t lost_port) const {
    return {{"127.0.0.1", servers_[0]->port()},
            {"127.0.0.1", servers_[1]->port()},
            {"127.0.0.1", lost_port}};
  }

  bool holds(size_t server, const std::string& key) {
    return servers_[server]->server().is_known_client(key.c_str());
  }

  std::vector<std::unique_ptr<InProcessServer>> servers_;
};

// A listening socket whose one-place queue is taken: further connections are never completed.
class AcceptsNothing {
 public:
  AcceptsNothing() : listener_(token_server::listen_on_loopback(&port_, 0)), filler_(port_) {}
  ~AcceptsNothing() { ::close(listener_); }
  uint16_t port() const { return port_; }

 private:
  uint16_t port_ = 0;
  int listener_;
  TestClient filler_;
};

FailurePolicy policy_named(const std::string& name) {
  if (name == "fail_closed") return FailurePolicy::kFailClosed;
  return name == "fail_open" ? FailurePolicy::kFailOpen : FailurePolicy::kFailover;
}

// `text` with each {lost} replaced by `name`.
std::string with_name(std::string text, const std::string& name) {
  for (size_t at; (at = text.find("{lost}")) != std::string::npos;) text.replace(at, 6, name);
  return text;
}

// The shared rows: a lost server under each policy, the Python client's tests run them too.
TEST_F(FleetTest, KeysOfALostServerGoAsThePolicySaysAndOnlyTheFirstCallWaits) {
  AcceptsNothing accepts_nothing;
  ScriptedServer answers_nothing({"never"}, /*lines_before_reply=*/1000);
  rapidjson::Document vectors = fleet_vectors();
  int row_number = 0;
  for (const rapidjson::Value& row : vectors["fleet"].GetArray()) {
    std::string prefix = "row" + std::to_string(++row_number) + "-";  // new keys for each row
    std::string lost = string_of(row["lost"]);
    std::string answer = string_of(row["answer"]);
    SCOPED_TRACE(lost + ", " + string_of(row["policy"]));
    uint16_t lost_port = lost == "accepts nothing"   ? accepts_nothing.port()
                         : lost == "answers nothing" ? answers_nothing.port()
                                                     : closed_port();
    ShardedClient client(fleet_with(lost_port), short_timeouts(), {},
                         fleet_options(policy_named(string_of(row["policy"]))));
    std::vector<TokenRequest> batch = keys_of(client, kLost, 6, prefix);
    batch.push_back(keys_of(client, 0, 1, prefix)[0]);
    batch.push_back(keys_of(client, 1, 1, prefix)[0]);
    std::vector<std::string> names;
    for (size_t i = 0; i < client.server_count(); ++i) names.push_back(client.server_name(i));
    for (int call = 0; call < 2; ++call) {  // the server failing, then known to be down
      std::vector<Grant> grants;
      std::vector<Status> server_status;
      Status answered = client.acquire_batch(batch, &grants, &server_status);
      std::string error =
          row["errors"].IsNull()
              ? ""
              : with_name(string_of(row["errors"][call == 0 ? 0 : 1]), names[kLost]);
      if (!error.empty()) {
        EXPECT_EQ(server_status[kLost].message(), error);
      }
      EXPECT_EQ(answered.ok(), answer != "none");
      for (size_t i = 0; i < batch.size(); ++i) {
        const std::string& key = batch[i].accesskey;
        const Grant& grant = grants[i];
        size_t own = client.server_for(key);
        size_t answering = own == kLost && answer == "fallback"
                               ? rendezvous_pick(names, key, {true, true, false})
                               : own;
        EXPECT_EQ(grant.server, answering) << key;
        EXPECT_EQ(grant.fallback, answering != own) << key;
        EXPECT_EQ(grant.checked, own != kLost || answer != "unchecked") << key;
        EXPECT_EQ(grant.status.message(), own == kLost && answer == "none" ? error : "") << key;
        if (own == kLost && answer != "fallback") {
          EXPECT_EQ(grant.tokens, answer == "none" ? 0u : static_cast<uint32_t>(kNeed)) << key;
          EXPECT_FALSE(holds(0, key) || holds(1, key)) << key;
          continue;
        }
        EXPECT_TRUE(holds(answering, key)) << key;
        // A moved key is new where it goes, and its request says "fallback": it starts empty. An
        // own key's new bucket grants the need and stays full.
        EXPECT_EQ(grant.tokens, answering != own ? 0u : static_cast<uint32_t>(kNeed)) << key;
        if (call == 0) {
          EXPECT_EQ(grant.remaining, answering != own ? 0u : static_cast<uint64_t>(kBurst)) << key;
        }
      }
    }
    ServerHealth health = client.server_health(kLost);
    EXPECT_FALSE(health.up);
    EXPECT_EQ(health.failed_calls, 1u);  // the calls after the first did not wait for it
    EXPECT_EQ(health.probes, 0u);
    client.close();  // the prober stops, and starts again for the server still down
    Grant kept;
    EXPECT_TRUE(client.acquire(batch.back(), &kept).ok()) << kept.status.message();
  }
  EXPECT_EQ(answers_nothing.connections(), 1);  // nor did they connect
}

TEST_F(FleetTest, AServerIsMarkedDownOnlyForItsOwnFailure) {
  // The lost server's one connection is held by a call that waits for it to fail, while a batch
  // asks a healthy server and the lost one: the healthy server's part does not wait, nor time
  // out, while the batch waits for the other pool; the lost part, once it has the connection,
  // does not wait for the failed server again.
  ScriptedServer answers_nothing({"never"}, /*lines_before_reply=*/1000);
  PoolOptions one_connection;
  one_connection.max_connections = 1;
  ShardedClient client(fleet_with(answers_nothing.port()), short_timeouts(), one_connection,
                       fleet_options(FailurePolicy::kFailover));
  std::vector<TokenRequest> batch = {keys_of(client, 0, 1, "healthy-")[0],
                                     keys_of(client, kLost, 1, "held-")[0]};
  std::thread holds_the_connection([&] {
    Grant grant;
    client.acquire(batch[1], &grant);
  });
  ASSERT_TRUE(wait_until([&] { return answers_nothing.connections() == 1; }));
  std::vector<Grant> grants;
  Status answered = client.acquire_batch(batch, &grants);
  holds_the_connection.join();
  EXPECT_TRUE(answered.ok()) << answered.message();
  EXPECT_TRUE(grants[0].server == 0 && !grants[0].fallback);
  EXPECT_TRUE(client.server_health(0).up) << client.server_health(0).last_failure.message();
  EXPECT_TRUE(grants[1].fallback);
  EXPECT_EQ(client.server_health(kLost).failed_calls, 1u);
  EXPECT_EQ(answers_nothing.connections(), 1);
}

TEST_F(FleetTest, RefusedRequestLeavesTheServerUp) {
  servers_.push_back(std::make_unique<InProcessServer>(kTestWorkers));
  ShardedClient client(fleet_with(servers_[kLost]->port()), short_timeouts(), {},
                       fleet_options(FailurePolicy::kFailover));
  TokenRequest request = keys_of(client, kLost, 1, "refused-")[0];
  request.gen_rate = 0;  // a new key without a rate: refused
  Grant grant;
  EXPECT_EQ(client.acquire(request, &grant).code(), StatusCode::kRefused);
  EXPECT_EQ(grant.server, kLost);
  EXPECT_TRUE(client.server_health(kLost).up);
}

TEST(FleetBatch, PartsGoOutTogetherFromTheCallingThread) {
  // Each stand-in holds its reply until both have a request: sent one after the other, the parts
  // would wait for ever.
  ReplyGate gate(2);
  ScriptedServer first({ScriptedServer::kGrantEveryNeed}, 1, &gate);
  ScriptedServer second({ScriptedServer::kGrantEveryNeed}, 1, &gate);
  ClientOptions patient;
  patient.reply_timeout = std::chrono::duration_cast<std::chrono::milliseconds>(kWaitLimit);
  ShardedClient client({{"127.0.0.1", first.port()}, {"127.0.0.1", second.port()}}, patient);
  std::vector<TokenRequest> batch = keys_of(client, 0, 2, "together-");
  batch.push_back(keys_of(client, 1, 1, "together-")[0]);
  std::vector<Grant> grants;
  ASSERT_TRUE(client.acquire_batch(batch, &grants).ok());
  for (size_t i = 0; i < batch.size(); ++i) {
    EXPECT_EQ(grants[i].tokens, static_cast<uint32_t>(kNeed));
    EXPECT_EQ(grants[i].server, i < 2 ? 0u : 1u);
  }
}

}  // namespace
}  // namespace token_client
