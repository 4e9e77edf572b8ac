// Fifty clients at once against the real binary: handshakes, valid, invalid and malformed token
// requests over a few keys in random packet splits, with peers that reset mid-request or
// mid-reply and reconnect. Two rounds, each bounded in sessions and in time. Checks that every
// answered request is answered once and in order, that no key is granted more than its bucket
// can give, and that descriptors and memory come back flat; prints the figures.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <rapidjson/document.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "server/TokenServer.h"
#include "tests/support/poll_until.h"
#include "tests/support/server_process.h"
#include "tests/support/test_client.h"
#include "tests/support/token_request_text.h"

namespace token_server {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kConnections = 50;
constexpr int kSessionsPerRound = 24;
constexpr auto kRoundLimit = std::chrono::seconds(18);
constexpr auto kReplyLimit = std::chrono::seconds(15);
constexpr auto kSettleLimit = std::chrono::seconds(10);
constexpr auto kSettleStep = std::chrono::milliseconds(50);
constexpr uint32_t kSeed = 20261207;
// Resident size after the second round against after the first, once every key exists.
constexpr double kMaxMemoryDrift = 0.05;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// Sanitizer runtimes hold freed memory back for a while, so memory is only checked without them.
constexpr bool kMemoryChecked = false;
#else
constexpr bool kMemoryChecked = true;
#endif

// The keys under stress. Each is always asked for with the same need, rate and burst, so that no
// request re-rates its bucket; slow rates keep the bound on its grants tight.
struct StressKey {
  const char* name;
  int need;
  int rate;   // tokens per second
  int burst;  // tokens
};
constexpr StressKey kKeys[] = {
    {"stress-a", 1, 1, 3}, {"stress-b", 2, 1, 5}, {"stress-c", 3, 2, 4}, {"stress-d", 1, 1, 1}};
constexpr int kKeyCount = sizeof kKeys / sizeof kKeys[0];

// Peers that reset mid-reply draw from a key of their own, so the keys above see every grant.
constexpr char kResetKey[] = "stress-reset";
constexpr int kResetRequests = 30;
constexpr int kResetRequestEntries = 40;

// The entry of stress key `key`, with its fixed need, rate and burst.
std::string key_entry(int key) {
  const StressKey& k = kKeys[key];
  return token_entry(k.name, std::to_string(k.need), std::to_string(k.rate),
                     std::to_string(k.burst));
}

// A request as it goes on the wire, with its CR LF.
std::string request_line(const std::vector<std::string>& entries) {
  return token_request(entries) + "\r\n";
}

enum class Kind { kHandshake, kValid, kInvalid, kMalformed };
constexpr int kKindCount = 4;

struct Request {
  Kind kind;
  std::string line;       // with its CR LF
  std::vector<int> keys;  // for a valid request: the key of each entry, in order
};

// Valid JSON that breaks a rule of the token request; a valid entry may come first, and is then
// not granted either.
const std::string kInvalidEntries[] = {
    token_entry("stress-a", "-1", "1", "3"),
    token_entry(std::string(kMaxAccessKeyLength + 1, 'k'), "1", "1", "3"),
    token_entry("stress-b", "1.5", "1", "5"),
    token_entry("stress-c", "2147483648", "2", "4"),
    token_entry("never-known", "1", "0", "5"),
    "{\"accesskey\":\"stress-d\",\"need_tokens\":1,\"burst_size\":1}",
    "7",
};
const std::string kMalformedLines[] = {
    "hello\r\n", "{\"array\":[\r\n", "\r\n", "SHAKE \r\n", "{\"array\":[]} x\r\n",
    "[1,2\r\n",  "{}{}\r\n",
};

class RequestMaker {
 public:
  explicit RequestMaker(std::mt19937& rng) : rng_(rng) {}

  Request handshake() { return {Kind::kHandshake, "SHAKE\r\n", {}}; }

  // Zero to three entries of the stress keys, repeats allowed.
  Request valid() {
    Request request{Kind::kValid, "", {}};
    std::vector<std::string> entries;
    for (int i = pick(4); i > 0; --i) {
      request.keys.push_back(pick(kKeyCount));
      entries.push_back(key_entry(request.keys.back()));
    }
    request.line = request_line(entries);
    return request;
  }

  Request invalid() {
    std::vector<std::string> entries;
    if (pick(2) == 0) entries.push_back(key_entry(pick(kKeyCount)));
    entries.push_back(kInvalidEntries[pick(std::size(kInvalidEntries))]);
    return {Kind::kInvalid, request_line(entries), {}};
  }

  Request malformed() {
    return {Kind::kMalformed, kMalformedLines[pick(std::size(kMalformedLines))], {}};
  }

  Request any() {
    int roll = pick(10);
    if (roll < 2) return handshake();
    if (roll < 7) return valid();
    if (roll < 9) return invalid();
    return malformed();
  }

  int pick(size_t count) { return static_cast<int>(rng_() % count); }

 private:
  std::mt19937& rng_;
};

// Totals over all clients; each field is updated on its own.
struct StressFigures {
  std::atomic<long> requests_sent{0};
  std::atomic<long> sent_by_kind[kKindCount] = {};
  std::atomic<long> replies_checked{0};
  std::atomic<long> sessions{0};
  std::atomic<long> resets_mid_request{0};
  std::atomic<long> resets_mid_reply{0};
  std::atomic<long> granted[kKeyCount] = {};

  std::mutex failure_mutex;
  std::vector<std::string> failures;  // under failure_mutex

  long sent(Kind kind) const { return sent_by_kind[static_cast<int>(kind)].load(); }

  void fail(const std::string& what) {
    std::lock_guard<std::mutex> lock(failure_mutex);
    failures.push_back(what);
  }
};

// The reply that `request` must get, with the grants read from `line`; empty when the line does
// not list the request's keys in order, each with at most its need.
std::string expected_token_reply(const Request& request, const std::string& line,
                                 std::vector<unsigned>* grants) {
  rapidjson::Document reply;
  reply.Parse(line.substr(0, line.size() - 2).c_str());
  if (reply.HasParseError() || !reply.IsObject() || !reply.HasMember("array")) return "";
  const rapidjson::Value& entries = reply["array"];
  if (!entries.IsArray() || entries.Size() != request.keys.size()) return "";
  std::vector<std::pair<std::string, unsigned>> expected;
  for (rapidjson::SizeType i = 0; i < entries.Size(); ++i) {
    const StressKey& key = kKeys[request.keys[i]];
    if (!entries[i].IsObject() || !entries[i].HasMember("tokens")) return "";
    const rapidjson::Value& tokens = entries[i]["tokens"];
    if (!tokens.IsUint() || tokens.GetUint() > static_cast<unsigned>(key.need)) return "";
    grants->push_back(tokens.GetUint());
    expected.emplace_back(key.name, tokens.GetUint());
  }
  return token_reply(expected);
}

class StressClient {
 public:
  StressClient(uint32_t seed, StressFigures& figures)
      : rng_(seed), maker_(rng_), figures_(figures) {}

  void run_session() {
    TestClient client(kServerPort);
    if (!client.connected()) return figures_.fail("connect failed");
    int nodelay = 1;  // every piece of a split goes out as a packet of its own
    ::setsockopt(client.fd(), IPPROTO_TCP, TCP_NODELAY, &nodelay, sizeof nodelay);
    ++figures_.sessions;
    int roll = maker_.pick(10);
    if (roll == 0) return reset_mid_request(client);
    if (roll == 1) return reset_mid_reply(client);
    for (int batches = 1 + maker_.pick(3); batches > 0; --batches) {
      if (!exchange_batch(client)) return;
    }
  }

 private:
  // Sends a mix of requests in random pieces and a closing handshake, then reads every reply.
  bool exchange_batch(TestClient& client) {
    std::vector<Request> batch;
    for (int i = 3 + maker_.pick(8); i > 0; --i) batch.push_back(maker_.any());
    batch.push_back(maker_.handshake());  // its OK shows that nothing more is on its way
    std::string bytes;
    for (const Request& request : batch) {
      bytes += request.line;
      count_sent(request.kind);
    }
    if (!send_in_pieces(client, bytes)) {
      figures_.fail("send failed");
      return false;
    }
    for (const Request& request : batch) {
      if (!check_reply(client, request)) return false;
    }
    return true;
  }

  bool check_reply(TestClient& client, const Request& request) {
    if (request.kind == Kind::kInvalid || request.kind == Kind::kMalformed) return true;
    std::optional<std::string> line = client.read_line(kReplyLimit);
    if (!line) {
      figures_.fail("no reply to " + request.line);
      return false;
    }
    std::vector<unsigned> grants;
    std::string expected = request.kind == Kind::kHandshake
                               ? std::string(kHandshakeReply)
                               : expected_token_reply(request, *line, &grants);
    if (*line != expected) {
      figures_.fail("reply " + *line + " to " + request.line);
      return false;
    }
    for (size_t i = 0; i < grants.size(); ++i) figures_.granted[request.keys[i]] += grants[i];
    ++figures_.replies_checked;
    return true;
  }

  void reset_mid_request(TestClient& client) {
    std::string line = maker_.valid().line;
    send_in_pieces(client, line.substr(0, 1 + maker_.pick(line.size() - 2)));
    client.reset();
    ++figures_.resets_mid_request;
  }

  // Many large replies pile up; one is read, and the rest are cut off by the reset.
  void reset_mid_reply(TestClient& client) {
    std::vector<std::string> entries(kResetRequestEntries,
                                     token_entry(kResetKey, "1", "1000", "1000"));
    std::string line = request_line(entries);
    std::string bytes;
    for (int i = 0; i < kResetRequests; ++i) {
      bytes += line;
      count_sent(Kind::kValid);
    }
    if (client.send(bytes)) client.read_line(kReplyLimit);
    client.reset();
    ++figures_.resets_mid_reply;
  }

  bool send_in_pieces(TestClient& client, const std::string& bytes) {
    for (size_t offset = 0; offset < bytes.size();) {
      size_t piece =
          maker_.pick(4) == 0 ? bytes.size() : 1 + maker_.pick(maker_.pick(2) ? 16 : 256);
      piece = std::min(piece, bytes.size() - offset);
      if (!client.send(bytes.substr(offset, piece))) return false;
      offset += piece;
      if (maker_.pick(8) == 0) std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    return true;
  }

  void count_sent(Kind kind) {
    ++figures_.requests_sent;
    ++figures_.sent_by_kind[static_cast<int>(kind)];
  }

  std::mt19937 rng_;
  RequestMaker maker_;
  StressFigures& figures_;
};

void run_round(int round, StressFigures& figures) {
  auto deadline = Clock::now() + kRoundLimit;
  std::vector<std::thread> clients;
  for (int i = 0; i < kConnections; ++i) {
    clients.emplace_back([&, i] {
      StressClient client(kSeed + static_cast<uint32_t>(round * kConnections + i), figures);
      for (int s = 0; s < kSessionsPerRound && Clock::now() < deadline; ++s) client.run_session();
    });
  }
  for (std::thread& client : clients) client.join();
}

// Waits until the server holds no more descriptors than `baseline`; returns what it holds.
int settled_descriptors(ServerProcess& server, int baseline) {
  int open = 0;
  poll_until([&] { return (open = server.open_descriptors()) <= baseline; }, kSettleLimit,
             kSettleStep);
  return open;
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Grants beyond what each key's bucket can have given since `start`; prints each key's figures.
int count_over_grants(const StressFigures& figures, Clock::time_point start) {
  double elapsed = seconds_since(start);
  int over = 0;
  for (int k = 0; k < kKeyCount; ++k) {
    // The bucket starts full when the key's first request (granted in full, counted apart)
    // creates it, and refills at its rate from then on.
    double bound = kKeys[k].burst + kKeys[k].rate * elapsed;
    long granted = figures.granted[k].load();
    std::printf("stress: key %s granted %ld after its first request, bound %.1f\n", kKeys[k].name,
                granted, bound);
    if (granted > bound) ++over;
  }
  return over;
}

size_t count_lines(const std::string& text) { return std::count(text.begin(), text.end(), '\n'); }

TEST(Stress, FiftyMixedClientsGetOrderedRepliesWithinTheBucketBounds) {
  ServerProcess server;
  ASSERT_TRUE(server.listening());
  int descriptors_before = server.open_descriptors();
  StressFigures figures;

  // One request creates every key; a new key is granted its whole need.
  Clock::time_point start = Clock::now();
  {
    TestClient creator(kServerPort);
    std::vector<std::string> entries;
    std::vector<std::pair<std::string, unsigned>> grants;
    for (int k = 0; k < kKeyCount; ++k) {
      entries.push_back(key_entry(k));
      grants.emplace_back(kKeys[k].name, kKeys[k].need);
    }
    ASSERT_EQ(creator.exchange(request_line(entries)), token_reply(grants));
  }

  run_round(0, figures);
  int descriptors_after_first = settled_descriptors(server, descriptors_before);
  long resident_after_first = server.resident_kb();
  run_round(1, figures);
  int descriptors_after = settled_descriptors(server, descriptors_before);
  long resident_after_second = server.resident_kb();
  double elapsed = seconds_since(start);
  int over_grants = count_over_grants(figures, start);
  double drift = static_cast<double>(resident_after_second - resident_after_first) /
                 static_cast<double>(resident_after_first);

  std::printf(
      "stress: %.1f s, %ld sessions, %ld requests sent (%ld handshakes, %ld valid, %ld invalid, "
      "%ld malformed), %ld replies checked, %ld resets mid-request, %ld resets mid-reply\n",
      elapsed, figures.sessions.load(), figures.requests_sent.load(),
      figures.sent(Kind::kHandshake), figures.sent(Kind::kValid), figures.sent(Kind::kInvalid),
      figures.sent(Kind::kMalformed), figures.replies_checked.load(),
      figures.resets_mid_request.load(), figures.resets_mid_reply.load());
  std::printf("stress: over-grants %d; descriptors %d before, %d after round 1, %d after round 2\n",
              over_grants, descriptors_before, descriptors_after_first, descriptors_after);
  std::printf("stress: resident %ld kB after round 1, %ld kB after round 2, drift %+.2f%%%s\n",
              resident_after_first, resident_after_second, drift * 100,
              kMemoryChecked ? "" : " (not checked under a sanitizer)");

  for (const std::string& failure : figures.failures) ADD_FAILURE() << failure;
  EXPECT_EQ(over_grants, 0);
  EXPECT_TRUE(server.running());
  EXPECT_EQ(descriptors_after, descriptors_before);
  if (kMemoryChecked) {
    EXPECT_LE(drift, kMaxMemoryDrift);
  }
  // Every invalid and every malformed request is reported once, and nothing else is.
  std::string errors = without_pool_lines(server.stderr_text());
  EXPECT_EQ(count_lines(errors),
            static_cast<size_t>(figures.sent(Kind::kInvalid) + figures.sent(Kind::kMalformed)));
  std::istringstream lines(errors);
  for (std::string line; std::getline(lines, line);) {
    EXPECT_TRUE(line == "json parse error" || line.rfind("invalid token request: ", 0) == 0)
        << line;
  }
}

}  // namespace

}  // namespace token_server
