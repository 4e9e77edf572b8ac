// The worker pool, on servers run inside the test process: connections served in the order
// accepted, each on a fresh record; a stop; peers that vanish; saturation spells summed up.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "harness/in_process_server.h"
#include "server/TokenServer.h"
#include "server/unique_fd.h"
#include "tests/support/poll_until.h"
#include "tests/support/stdout_capture.h"
#include "tests/support/test_client.h"

namespace token_server {
namespace {

using std::chrono::milliseconds;

constexpr char kOk[] = "OK\r\n";

// The calling thread in a network namespace of its own, with loopback up, for one scope, so that
// a test may drop packets without touching anyone else's. Threads and processes started from the
// thread meanwhile share the namespace. Needs root.
class PrivateNetwork {
 public:
  PrivateNetwork() : original_(::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC)) {
    if (original_.get() < 0 || ::unshare(CLONE_NEWNET) != 0) {
      failure_ =
          std::string("no network namespace of its own (needs root): ") + std::strerror(errno);
      return;
    }
    entered_ = true;
    if (!bring_up_loopback())
      failure_ = std::string("loopback stays down: ") + std::strerror(errno);
  }
  ~PrivateNetwork() {
    if (entered_) ::setns(original_.get(), CLONE_NEWNET);
  }
  PrivateNetwork(const PrivateNetwork&) = delete;
  PrivateNetwork& operator=(const PrivateNetwork&) = delete;

  // Why the namespace is not usable, or "".
  const std::string& failure() const { return failure_; }

  // Drops every packet from and to local TCP port `port`, as if the host on that end had
  // vanished. False when nftables cannot.
  static bool drop_packets_of(uint16_t port) {
    std::string number = std::to_string(port);
    std::string command =
        "nft 'add table ip vanish; add chain ip vanish input { type filter hook "
        "input priority 0; }; add rule ip vanish input tcp sport " +
        number + " drop; add rule ip vanish input tcp dport " + number + " drop'";
    return std::system(command.c_str()) == 0;
  }

 private:
  static bool bring_up_loopback() {
    UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ifreq request = {};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    if (::ioctl(fd.get(), SIOCGIFFLAGS, &request) != 0) return false;
    request.ifr_flags |= IFF_UP;
    return ::ioctl(fd.get(), SIOCSIFFLAGS, &request) == 0;
  }

  UniqueFd original_;
  bool entered_ = false;
  std::string failure_;
};

// A worker that served a half-sent request must not show it to its next connection.
TEST(WorkerPool, EachConnectionStartsWithAFreshRecord) {
  StdoutCapture trace;
  InProcessServer server(1);
  {
    TestClient first(server.port());
    ASSERT_TRUE(first.send("SHAKE\r\nSHA"));
    EXPECT_EQ(first.read_line(), kOk);
  }
  TestClient second(server.port());
  EXPECT_EQ(second.exchange("KE\r\nSHAKE\r\n"), kOk);  // "KE\r\n" alone is no handshake
  EXPECT_FALSE(second.has_data_within(milliseconds(100)));
}

TEST(WorkerPool, StopClosesServedAndQueuedConnections) {
  StdoutCapture trace;
  InProcessServer server(2);
  std::vector<std::unique_ptr<TestClient>> clients;
  for (int i = 0; i < 4; ++i) {  // two served, two queued
    clients.push_back(std::make_unique<TestClient>(server.port()));
  }
  ASSERT_EQ(clients[0]->exchange("SHAKE\r\n"), kOk);
  server.server().request_stop();
  for (auto& client : clients) EXPECT_TRUE(client->closed_within(std::chrono::seconds(2)));
}

TEST(WorkerPool, QueuedConnectionsAreServedInTheOrderAccepted) {
  StdoutCapture trace;
  InProcessServer server(1);
  auto busy = std::make_unique<TestClient>(server.port());
  ASSERT_EQ(busy->exchange("SHAKE\r\n"), kOk);  // holds the only worker
  std::vector<std::unique_ptr<TestClient>> waiting;
  for (int i = 0; i < 3; ++i) {
    waiting.push_back(std::make_unique<TestClient>(server.port()));
    ASSERT_TRUE(waiting.back()->send("SHAKE\r\n"));
  }
  EXPECT_FALSE(waiting[0]->has_data_within(milliseconds(200)));
  busy.reset();
  // Only the first in line is served while it stays connected.
  EXPECT_EQ(waiting[0]->read_line(), kOk);
  EXPECT_FALSE(waiting[1]->has_data_within(milliseconds(100)));
  waiting[0].reset();
  EXPECT_EQ(waiting[1]->read_line(), kOk);
  waiting[1].reset();
  EXPECT_EQ(waiting[2]->read_line(), kOk);
}

// A peer that vanishes (no FIN, no RST) leaves its worker once probes go unanswered; a live peer
// idle for as long answers them and stays. The probes are shortened from a minute to seconds.
TEST(WorkerPool, AVanishedPeerFreesItsWorkerAndALiveIdlePeerStays) {
  PrivateNetwork network;
  if (!network.failure().empty()) GTEST_SKIP() << network.failure();
  StdoutCapture trace;
  ServerTimings quick;
  quick.keepalive_idle = std::chrono::seconds(1);
  quick.keepalive_interval = std::chrono::seconds(1);
  quick.keepalive_probes = 2;
  quick.user_timeout = std::chrono::seconds(3);
  InProcessServer server(2, std::nullopt, quick);
  TestClient live(server.port());
  TestClient vanished(server.port());
  ASSERT_EQ(live.exchange("SHAKE\r\n"), kOk);  // each holds one of the two workers
  ASSERT_EQ(vanished.exchange("SHAKE\r\n"), kOk);
  if (!PrivateNetwork::drop_packets_of(vanished.local_port())) {
    GTEST_SKIP() << "nft cannot drop packets here";
  }
  TestClient waiting(server.port());
  ASSERT_TRUE(waiting.send("SHAKE\r\n"));
  EXPECT_EQ(waiting.read_line(std::chrono::seconds(10)), kOk);
  EXPECT_EQ(live.exchange("SHAKE\r\n"), kOk);
}

// Whether `server` holds `queued` connections that wait for a worker, within a few seconds.
bool holds_queued(TokenServer& server, int queued) {
  std::string wanted = ", " + std::to_string(queued) + " queued,";
  return poll_until([&] { return server.status_line().find(wanted) != std::string::npos; },
                    std::chrono::seconds(5));
}

constexpr auto kSummaryInterval = std::chrono::seconds(2);

// Makes `count` saturation spells in a row on a pool of one worker: each new connection waits
// while the worker serves the one before, which then closes. Returns the spells made.
int make_spells_in_a_row(InProcessServer& server, int count) {
  auto served = std::make_unique<TestClient>(server.port());
  if (served->exchange("SHAKE\r\n") != kOk) return 0;
  for (int spell = 0; spell < count; ++spell) {
    auto waiting = std::make_unique<TestClient>(server.port());
    if (!holds_queued(server.server(), 1)) return spell;  // the spell has begun
    served = std::move(waiting);  // closes the served one, whose worker takes the waiting one
    if (served->exchange("SHAKE\r\n") != kOk) return spell;
  }
  return count;
}

// What the summary lines in `errors` add up to.
struct Summaries {
  int lines = 0;
  long spells = 0;
  long waited = 0;
};

std::string count_of(long count, const char* noun) {
  return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

// Adds a summary line's figures to `sum`; false for any other line.
bool add_summary(const std::string& line, Summaries* sum) {
  long spells = 0;
  long waited = 0;
  long longest = 0;
  if (std::sscanf(line.c_str(), "%*s %*s %*s %ld %*s %*s %*s %*s %*s %*s %ld %*s %*s %*s %*s %ld",
                  &spells, &waited, &longest) != 3 ||
      line != "workers busy in " + count_of(spells, "spell") +
                  " over the last 2 s: " + count_of(waited, "connection") +
                  " waited, longest wait " + std::to_string(longest) + " ms") {
    return false;
  }
  ++sum->lines;
  sum->spells += spells;
  sum->waited += waited;
  return true;
}

Summaries summaries_in(const std::string& errors) {
  Summaries sum;
  std::istringstream lines(errors);
  for (std::string line; std::getline(lines, line);) add_summary(line, &sum);
  return sum;
}

// A pool at the edge of its capacity: after the first spell's own two lines, the spells that
// follow are summed up, in a line an interval at most, not told in two lines each.
TEST(WorkerPool, ShortSaturationSpellsInARowAreSummedUp) {
  constexpr int kSpells = 20;
  int made = 0;
  std::chrono::duration<double> making{};
  std::string errors;
  {  // captured in this scope only, since a failed check writes on standard output
    StdoutCapture trace;
    StdoutCapture error_capture(STDERR_FILENO);
    ServerTimings timings;
    timings.saturation_summary_interval = kSummaryInterval;
    InProcessServer server(1, std::nullopt, timings);
    auto started = std::chrono::steady_clock::now();
    made = make_spells_in_a_row(server, kSpells);
    making = std::chrono::steady_clock::now() - started;
    poll_until([&] { return summaries_in(error_capture.text()).spells >= made - 1; },
               std::chrono::seconds(10), milliseconds(10));
    errors = error_capture.text();
  }
  ASSERT_EQ(made, kSpells);
  std::istringstream lines(errors);
  std::string opening;
  std::string closing;
  std::getline(lines, opening);
  std::getline(lines, closing);
  EXPECT_EQ(opening, "all 1 workers busy: connections are waiting") << errors;
  EXPECT_EQ(closing.rfind("connections no longer waiting: 1 waited, longest wait ", 0), 0u)
      << errors;
  Summaries summed;
  for (std::string line; std::getline(lines, line);) {
    EXPECT_TRUE(add_summary(line, &summed)) << errors;
  }
  // The first spell made is told in its own lines: the server listened only once its worker
  // waited, so the first connection did not wait.
  EXPECT_EQ(summed.spells, kSpells - 1) << errors;
  EXPECT_EQ(summed.waited, summed.spells) << errors;
  EXPECT_LE(summed.lines, 1 + making / kSummaryInterval) << errors;
}

}  // namespace
}  // namespace token_server
