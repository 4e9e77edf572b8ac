// Calls per second through a ShardedClient over three servers, with all three up and with one
// black-holed, for each failure policy, side by side.
//
// The servers run in this process on loopback ports the kernel picks (their trace goes to
// /dev/null). The black hole is the third server's port: "accepts nothing" is a listening socket
// whose one-place queue is taken, so connections to it are never completed (dropped SYNs);
// "answers nothing" completes connections and never answers. Each row makes a new client, whose
// threads call acquire_batch for random keys: first for a warm-up of three timeouts, in which
// the first calls that meet the black hole wait for it (the connect timeout, or twice the reply
// timeout), then for the --seconds measured. A row reports, of the measured calls, calls per
// second, latency percentiles and what became of their entries; of the whole row, the longest
// call and how many calls waited for the black hole (the failed calls the client counted).
//
// Usage: sharded_client_benchmark [--seconds S] [--threads N] [--batch ENTRIES] [--timeout MS]
//        [--detail 0|1]   (1, the clients' default, asks every reply for its detail)
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "harness/in_process_server.h"
#include "harness/loopback.h"
#include "token_client/ShardedClient.h"

namespace {

using token_client::ClientOptions;
using token_client::Endpoint;
using token_client::FailurePolicy;
using token_client::FleetOptions;
using token_client::Grant;
using token_client::PoolOptions;
using token_client::ShardedClient;
using token_client::TokenRequest;
using Clock = std::chrono::steady_clock;

constexpr int kServerWorkers = 8;
constexpr int kKeys = 1000;
// Far more than a key's calls draw in a run, so that every call is granted its whole need.
constexpr int32_t kRate = 1000000;
constexpr int32_t kBurst = 1000000;
constexpr size_t kBlackHoled = 2;
constexpr size_t kPoolConnections = 2;

struct Options {
  double seconds = 2;
  int threads = 4;
  int batch = 1;
  int timeout_millis = 1000;
  bool detail = true;  // the clients' default: every reply tells what is left and when to retry
};

[[noreturn]] void usage(const char* problem) {
  std::fprintf(stderr,
               "%s%susage: sharded_client_benchmark [--seconds S] [--threads N] [--batch ENTRIES] "
               "[--timeout MS] [--detail 0|1]\n",
               problem, *problem ? "\n" : "");
  std::exit(1);
}

Options parse_options(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    std::string name = argv[i];
    if (name == "--help") usage("");
    if (i + 1 >= argc) usage("an option needs a value");
    double value = std::atof(argv[++i]);
    if (name == "--seconds" && value > 0) {
      options.seconds = value;
    } else if (name == "--threads" && value >= 1 && value <= 64) {
      options.threads = static_cast<int>(value);
    } else if (name == "--batch" && value >= 1 && value <= 150) {
      options.batch = static_cast<int>(value);
    } else if (name == "--timeout" && value >= 1) {
      options.timeout_millis = static_cast<int>(value);
    } else if (name == "--detail" && (value == 0 || value == 1)) {
      options.detail = value == 1;
    } else {
      usage(("bad option or value: " + name).c_str());
    }
  }
  return options;
}

// A loopback listening socket the kernel picks a port for; `backlog` connections wait in its
// queue, completed, and none is ever accepted.
class Listener {
 public:
  explicit Listener(int backlog) : fd_(token_server::listen_on_loopback(&port_, backlog)) {}
  ~Listener() { ::close(fd_); }
  uint16_t port() const { return port_; }

 private:
  uint16_t port_ = 0;
  int fd_;
};

// The one connection that takes the one place in an "accepts nothing" listener's queue.
class Filler {
 public:
  explicit Filler(uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address = token_server::loopback_address(port);
    ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
  }
  ~Filler() { ::close(fd_); }

 private:
  int fd_;
};

// What one thread of a row counted: of the calls begun in the measured window, but the longest.
struct Tally {
  long calls = 0;
  long errors = 0;     // entries left without a grant
  long fallback = 0;   // entries answered by a server not their own
  long unchecked = 0;  // entries fail_open granted without asking
  std::vector<double> latencies_us;
  double longest_us = 0;  // of every call, warm-up included
};

void run_thread(ShardedClient& client, const Options& options, Clock::time_point measured_from,
                Clock::time_point end, unsigned seed, Tally* tally) {
  std::vector<TokenRequest> batch(static_cast<size_t>(options.batch));
  std::vector<Grant> grants;
  for (auto start = Clock::now(); start < end; start = Clock::now()) {
    for (TokenRequest& entry : batch) {
      seed = seed * 1103515245u + 12345u;
      entry = {"key-" + std::to_string((seed >> 8) % kKeys), 1, kRate, kBurst};
    }
    client.acquire_batch(batch, &grants);
    double latency_us = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    tally->longest_us = std::max(tally->longest_us, latency_us);
    if (start < measured_from) continue;
    tally->latencies_us.push_back(latency_us);
    ++tally->calls;
    for (const Grant& grant : grants) {
      tally->errors += !grant.status.ok();
      tally->fallback += grant.fallback;
      tally->unchecked += !grant.checked;
    }
  }
}

double percentile(std::vector<double>& sorted, double fraction) {
  if (sorted.empty()) return 0;
  return sorted[std::min(sorted.size() - 1, static_cast<size_t>(fraction * sorted.size()))];
}

void run_row(FILE* out, const Options& options, const char* policy_name, FailurePolicy policy,
             const char* servers_name, const std::vector<Endpoint>& servers) {
  ClientOptions client_options;
  client_options.connect_timeout = client_options.reply_timeout =
      std::chrono::milliseconds(options.timeout_millis);
  client_options.detail = options.detail;
  PoolOptions pool;
  pool.max_connections = kPoolConnections;
  FleetOptions fleet;
  fleet.policy = policy;
  ShardedClient client(servers, client_options, pool, fleet);
  std::vector<Tally> tallies(static_cast<size_t>(options.threads));
  std::vector<std::thread> threads;
  auto measured_from = Clock::now() + 3 * client_options.reply_timeout;
  auto end = measured_from + std::chrono::duration_cast<Clock::duration>(
                                 std::chrono::duration<double>(options.seconds));
  for (size_t t = 0; t < tallies.size(); ++t) {
    threads.emplace_back(run_thread, std::ref(client), std::cref(options), measured_from, end,
                         static_cast<unsigned>(t + 1), &tallies[t]);
  }
  for (std::thread& thread : threads) thread.join();
  double elapsed = std::chrono::duration<double>(Clock::now() - measured_from).count();
  Tally total;
  for (Tally& tally : tallies) {
    total.longest_us = std::max(total.longest_us, tally.longest_us);
    total.calls += tally.calls;
    total.errors += tally.errors;
    total.fallback += tally.fallback;
    total.unchecked += tally.unchecked;
    total.latencies_us.insert(total.latencies_us.end(), tally.latencies_us.begin(),
                              tally.latencies_us.end());
  }
  std::sort(total.latencies_us.begin(), total.latencies_us.end());
  std::fprintf(out, "%-12s %-16s %10.0f %8.0f %8.0f %8.1f %7llu %9ld %9ld %9ld\n", policy_name,
               servers_name, total.calls / elapsed, percentile(total.latencies_us, 0.5),
               percentile(total.latencies_us, 0.99), total.longest_us / 1000,
               static_cast<unsigned long long>(client.server_health(kBlackHoled).failed_calls),
               total.fallback, total.unchecked, total.errors);
  std::fflush(out);
}

}  // namespace

int main(int argc, char** argv) {
  Options options = parse_options(argc, argv);
  // The servers trace every request on standard output: the table goes out on a copy of it.
  FILE* out = ::fdopen(::dup(1), "w");
  ::dup2(::open("/dev/null", O_WRONLY | O_CLOEXEC), 1);

  token_server::InProcessServer first(kServerWorkers), second(kServerWorkers),
      third(kServerWorkers);
  Listener accepts_nothing(0);
  Filler filler(accepts_nothing.port());
  Listener answers_nothing(128);
  struct Fleet {
    const char* name;
    uint16_t third_port;
  };
  const Fleet fleets[] = {{"all up", third.port()},
                          {"accepts nothing", accepts_nothing.port()},
                          {"answers nothing", answers_nothing.port()}};
  const struct {
    const char* name;
    FailurePolicy policy;
  } policies[] = {{"failover", FailurePolicy::kFailover},
                  {"fail_closed", FailurePolicy::kFailClosed},
                  {"fail_open", FailurePolicy::kFailOpen}};

  std::fprintf(out,
               "%d threads, %d entries a call, %.1f s measured a row after %.1f s, timeouts %d ms, "
               "pools of %zu; server 3 is the one black-holed\n",
               options.threads, options.batch, options.seconds, 3 * options.timeout_millis / 1000.0,
               options.timeout_millis, kPoolConnections);
  std::fprintf(out, "%-12s %-16s %10s %8s %8s %8s %7s %9s %9s %9s\n", "policy", "server 3",
               "calls/s", "p50 us", "p99 us", "max ms", "waited", "fallback", "unchecked",
               "errors");
  for (const auto& policy : policies) {
    for (const Fleet& fleet : fleets) {
      std::vector<Endpoint> servers = {{"127.0.0.1", first.port()},
                                       {"127.0.0.1", second.port()},
                                       {"127.0.0.1", fleet.third_port}};
      run_row(out, options, policy.name, policy.policy, fleet.name, servers);
    }
  }
  std::fclose(out);
  return 0;
}
