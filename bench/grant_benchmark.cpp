// The cost of grant_tokens for known clients, the cost of adding and finding keys crafted to pile
// up in the client index, the memory each client takes in the map, and the time and size of one
// write of the state file (STATE_DIRECTORY).
//
// Grants run on a server that never listens and has no workers, so only the registry is timed.
// Every request names the stored rate and burst, so no grant re-rates its bucket.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "harness/crafted_keys.h"
#include "server/TokenServer.h"
#include "server/state_store.h"

namespace token_server {
namespace {

// A bucket this fast and deep serves nearly every draw, so the timed path grants and writes.
constexpr double kRate = kMaxGenRate;
constexpr double kBurst = kMaxBurstSize;
constexpr double kNeed = 1;
constexpr int kMaxThreads = 2;
constexpr int kEntriesMeasured = 100'000;

// The flooding runs: 4,000 keys, and the low bits that the crafted ones share. 4,000 keys fill
// at most 8,192 slots of the index, so the crafted ones share a slot at every size.
constexpr int kFloodKeys = 4'000;
constexpr int kCraftedLowBits = 13;

std::string client_key(int index) {
  char key[kMaxAccessKeyLength + 1];
  std::snprintf(key, sizeof key, "client-%09d", index);
  return key;
}

std::vector<std::string> client_keys(int count) {
  std::vector<std::string> keys;
  keys.reserve(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) keys.push_back(client_key(i));
  return keys;
}

// The keys of the flooding runs: ordinary (0) or crafted (1), made once per run of the program.
const std::vector<std::string>& flood_keys(int crafted) {
  static const std::vector<std::string> ordinary = client_keys(kFloodKeys);
  static const std::vector<std::string> piled =
      keys_crafted_against_std_hash(kFloodKeys, kCraftedLowBits);
  return crafted != 0 ? piled : ordinary;
}

// A server holding clients for `keys`, with the keys in a shuffled order.
struct Registry {
  explicit Registry(std::vector<std::string> all) : keys(std::move(all)) {
    for (const std::string& key : keys) server.grant_tokens(key.c_str(), kNeed, kRate, kBurst);
    std::shuffle(keys.begin(), keys.end(), std::mt19937(static_cast<unsigned>(keys.size())));
  }
  TokenServer server{0, 0};
  std::vector<std::string> keys;
};

// A registry built once per name and kept for the whole run, since filling a million clients
// takes seconds. The threads of a run all ask for it as they start.
Registry& registry_named(const std::string& name,
                         const std::function<std::vector<std::string>()>& make_keys) {
  static std::mutex registries_mutex;
  static std::map<std::string, std::unique_ptr<Registry>> registries;
  std::lock_guard<std::mutex> lock(registries_mutex);
  std::unique_ptr<Registry>& registry = registries[name];
  if (!registry) registry = std::make_unique<Registry>(make_keys());
  return *registry;
}

Registry& registry_of(int count) {
  return registry_named(std::to_string(count), [count] { return client_keys(count); });
}

// The timed loop: the same known client, grant after grant.
void grant_repeatedly(benchmark::State& state, TokenServer& server, const char* key) {
  for (auto _ : state) benchmark::DoNotOptimize(server.grant_tokens(key, kNeed, kRate, kBurst));
  state.SetItemsProcessed(state.iterations());
}

// Every thread draws from one key.
void BM_GrantSharedKey(benchmark::State& state) {
  Registry& registry = registry_of(static_cast<int>(state.range(0)));
  grant_repeatedly(state, registry.server, registry.keys.front().c_str());
}

// Each thread draws from a key of its own.
void BM_GrantDistinctKeys(benchmark::State& state) {
  Registry& registry = registry_of(static_cast<int>(state.range(0)));
  grant_repeatedly(state, registry.server,
                   registry.keys[static_cast<size_t>(state.thread_index())].c_str());
}

// The ceiling for BM_GrantDistinctKeys on a shared machine: each thread has a server of its own,
// so the threads share no lock and no cache line, and scale as far as the free cores allow.
void BM_GrantOwnServer(benchmark::State& state) {
  Registry own(client_keys(static_cast<int>(state.range(0))));
  grant_repeatedly(state, own.server, own.keys.front().c_str());
}

// Each grant names another client of `registry`, in shuffled order.
void grant_spread(benchmark::State& state, Registry& registry) {
  const std::vector<std::string>& keys = registry.keys;
  size_t next = keys.size() / kMaxThreads * static_cast<size_t>(state.thread_index());
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        registry.server.grant_tokens(keys[next].c_str(), kNeed, kRate, kBurst));
    if (++next == keys.size()) next = 0;
  }
  state.SetItemsProcessed(state.iterations());
}

// Each grant names another client, in shuffled order: the lookup walks cold parts of the map.
void BM_GrantSpreadKeys(benchmark::State& state) {
  grant_spread(state, registry_of(static_cast<int>(state.range(0))));
}

// BM_GrantSpreadKeys among kFloodKeys ordinary or crafted keys: what a lookup costs once a
// client has flooded the index.
void BM_GrantFloodKeys(benchmark::State& state) {
  int crafted = static_cast<int>(state.range(0));
  grant_spread(state, registry_named("flood" + std::to_string(crafted),
                                     [crafted] { return flood_keys(crafted); }));
}

// Adds kFloodKeys new clients, ordinary or crafted, to an empty server: what an insertion costs
// while a client floods the index.
void BM_NewFloodClients(benchmark::State& state) {
  const std::vector<std::string>& keys = flood_keys(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    state.PauseTiming();
    auto server = std::make_unique<TokenServer>(0, 0);
    state.ResumeTiming();
    for (const std::string& key : keys) server->grant_tokens(key.c_str(), kNeed, kRate, kBurst);
    state.PauseTiming();
    server.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(keys.size()));
}

// Heap bytes in use, as the allocator counts them.
double heap_bytes_in_use() { return static_cast<double>(mallinfo2().uordblks); }

// Resident memory of the process, as the kernel counts it.
double resident_bytes() {
  long total_pages = 0;
  long resident_pages = 0;
  std::FILE* statm = std::fopen("/proc/self/statm", "r");
  if (statm == nullptr) return 0;
  if (std::fscanf(statm, "%ld %ld", &total_pages, &resident_pages) != 2) resident_pages = 0;
  std::fclose(statm);
  return static_cast<double>(resident_pages) * static_cast<double>(sysconf(_SC_PAGESIZE));
}

// Adds new clients to an empty server; reports the time per new client and the bytes each one
// holds (key, bucket and map node with the allocator's overhead), by the heap's count and by
// resident memory.
void BM_NewClientBytes(benchmark::State& state) {
  const std::vector<std::string> keys = client_keys(kEntriesMeasured);
  double heap_per_client = 0;
  double resident_per_client = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto server = std::make_unique<TokenServer>(0, 0);
    double heap_before = heap_bytes_in_use();
    double resident_before = resident_bytes();
    state.ResumeTiming();
    for (const std::string& key : keys) server->grant_tokens(key.c_str(), kNeed, kRate, kBurst);
    state.PauseTiming();
    heap_per_client = (heap_bytes_in_use() - heap_before) / kEntriesMeasured;
    resident_per_client = (resident_bytes() - resident_before) / kEntriesMeasured;
    server.reset();
    malloc_trim(0);  // hands the freed pages back, so that the next round's growth shows in RSS
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kEntriesMeasured);
  state.counters["bytes_per_client"] = heap_per_client;
  state.counters["resident_bytes_per_client"] = resident_per_client;
  state.counters["key_bytes"] = sizeof(qos_user_instance_t);
  state.counters["bucket_bytes"] = sizeof(BasicTokenBucket);
}

// A client map of `count` clients, made once per count and kept for the run.
const ClientMap& state_clients(int count) {
  static std::map<int, std::unique_ptr<ClientMap>> maps;
  std::unique_ptr<ClientMap>& map = maps[count];
  if (!map) {
    map = std::make_unique<ClientMap>();
    for (const std::string& key : client_keys(count)) {
      qos_user_instance_t client = {};
      key.copy(client.accesskey, kMaxAccessKeyLength);
      map->insert(client, kRate, kBurst, steadyNowMillis());
    }
  }
  return *map;
}

// One write of the state file, as the server makes it each second while requests come: every
// bucket read, the file written and flushed, renamed, the directory flushed. In a directory under
// TMPDIR (/tmp by default): point it at the disk the server would use.
void BM_StateWrite(benchmark::State& state) {
  const ClientMap& clients = state_clients(static_cast<int>(state.range(0)));
  std::string directory =
      std::string(getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp") + "/token_state_bench_XXXXXX";
  if (::mkdtemp(directory.data()) == nullptr) {
    state.SkipWithError("mkdtemp failed");
    return;
  }
  StateStore store(directory);
  const std::atomic<bool> never{false};
  for (auto _ : state) {
    if (store.write(clients, never) != StateStore::WriteResult::kWritten) {
      state.SkipWithError("the write failed");
      break;
    }
  }
  std::string path = directory + "/" + kStateFileName;
  struct stat file = {};
  ::stat(path.c_str(), &file);
  state.counters["file_bytes"] = static_cast<double>(file.st_size);
  state.counters["bytes_per_key"] =
      static_cast<double>(file.st_size) / static_cast<double>(state.range(0));
  // The load a restart makes of that file, timed once.
  ClientMap loaded;
  auto started = std::chrono::steady_clock::now();
  store.load(&loaded);
  state.counters["load_ms"] =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
  std::remove(path.c_str());
  ::rmdir(directory.c_str());
}

// Wall-clock time, so that two threads' throughput compares with one's.
void one_and_two_threads(benchmark::internal::Benchmark* benchmark) {
  benchmark->UseRealTime()->Threads(1)->Threads(kMaxThreads);
}

void client_counts(benchmark::internal::Benchmark* benchmark) {
  benchmark->ArgName("clients")->Arg(1'000)->Arg(1'000'000)->Apply(one_and_two_threads);
}

}  // namespace

BENCHMARK(BM_GrantSharedKey)->Apply(client_counts);
BENCHMARK(BM_GrantDistinctKeys)->Apply(client_counts);
BENCHMARK(BM_GrantSpreadKeys)->Apply(client_counts);
BENCHMARK(BM_GrantOwnServer)->ArgName("clients")->Arg(1'000)->Apply(one_and_two_threads);
BENCHMARK(BM_GrantFloodKeys)->ArgName("crafted")->Arg(0)->Arg(1);
BENCHMARK(BM_NewFloodClients)->ArgName("crafted")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_NewClientBytes)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_StateWrite)
    ->ArgName("keys")
    ->Arg(100'000)
    ->Arg(1'000'000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(5);

}  // namespace token_server

BENCHMARK_MAIN();
