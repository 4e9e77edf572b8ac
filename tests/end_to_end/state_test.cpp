// Buckets kept in STATE_DIRECTORY across a stop, a kill, a bad file and a directory that takes no
// file: the real binary, its state file and its standard error.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "server/TokenServer.h"
#include "server/state_file.h"
#include "server/state_store.h"
#include "tests/support/server_process.h"
#include "tests/support/test_client.h"
#include "tests/support/token_request_text.h"

namespace token_server {

namespace {

using std::chrono::steady_clock;

class StateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char directory[] = "/tmp/token_state_XXXXXX";
    ASSERT_NE(::mkdtemp(directory), nullptr);
    directory_ = directory;
    path_ = directory_ + "/" + kStateFileName;
  }
  void TearDown() override { std::filesystem::remove_all(directory_); }

  std::unique_ptr<ServerProcess> start() {
    ServerProcess::Options options;
    options.environment = {"STATE_DIRECTORY=" + directory_};
    auto server = std::make_unique<ServerProcess>(options);
    EXPECT_TRUE(server->listening());
    return server;
  }

  // The tokens granted to one entry, or -1 without a reply.
  static int grant(const std::string& key, int need, int rate, int burst) {
    TestClient client(kServerPort);
    std::optional<std::string> reply =
        client.exchange(token_request({token_entry(key, std::to_string(need), std::to_string(rate),
                                                   std::to_string(burst))}) +
                        kCrLf);
    if (!reply) return -1;
    size_t tokens = reply->find("\"tokens\":");
    return tokens == std::string::npos ? -1 : std::stoi(reply->substr(tokens + 9));
  }

  // A state file holding `key` with `tokens` of burst 10 at rate 1, snapshot now.
  std::string good_file(const std::string& key, double tokens) {
    std::string temp = directory_ + "/made";
    {
      FILE* file = std::fopen(temp.c_str(), "w");
      StateFileWriter out(::fileno(file), std::chrono::duration_cast<std::chrono::nanoseconds>(
                                              std::chrono::system_clock::now().time_since_epoch())
                                              .count());
      out.add(key.c_str(), {1, 10, tokens});
      EXPECT_TRUE(out.finish());
      std::fclose(file);
    }
    std::string bytes = read_file(temp);
    std::remove(temp.c_str());
    return bytes;
  }

  void write(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
  }

  std::string directory_;
  std::string path_;
};

// Drained, stopped and started again, a key is still drained but for the refill meanwhile: at
// 1 token a second, no more than the seconds that passed. A new key would be granted its need.
TEST_F(StateTest, RestartKeepsADrainedBucketLessTheRefill) {
  auto server = start();
  ASSERT_EQ(grant("kept", 10, 1, 10), 10);  // new: the whole need, the bucket full
  ASSERT_EQ(grant("kept", 10, 1, 10), 10);  // drained
  auto drained = steady_clock::now();
  EXPECT_EQ(server->stop(SIGTERM), 0);
  server = start();
  int granted = grant("kept", 10, 1, 10);
  double seconds = std::chrono::duration<double>(steady_clock::now() - drained).count();
  EXPECT_GE(granted, 0);
  EXPECT_LE(granted, static_cast<int>(seconds) + 1);
  kill(server->pid(), SIGUSR1);
  EXPECT_TRUE(server->wait_for_stderr(" state_keys_loaded=1\n"));
}

// Killed while a load draws, the server takes back the buckets of its last write, at most about
// a second old: a key of burst 1000 at 10 a second, drained, comes back with about the refill
// since then, not full.
TEST_F(StateTest, KillDuringLoadLosesAboutASecondOfDraws) {
  constexpr int kRate = 10;
  constexpr int kBurst = 1000;
  auto server = start();
  ASSERT_EQ(grant("loaded", kBurst, kRate, kBurst), kBurst);
  ASSERT_EQ(grant("loaded", kBurst, kRate, kBurst), kBurst);
  {
    TestClient client(kServerPort);
    std::string request =
        token_request({token_entry("loaded", "1", std::to_string(kRate), std::to_string(kBurst)),
                       token_entry("other", "1", "1", "1")}) +
        kCrLf;
    for (auto until = steady_clock::now() + std::chrono::milliseconds(2500);
         steady_clock::now() < until;) {
      ASSERT_TRUE(client.exchange(request).has_value());
    }
    server->stop(SIGKILL);
  }
  auto killed = steady_clock::now();
  server = start();
  int granted = grant("loaded", kBurst, kRate, kBurst);
  double seconds = std::chrono::duration<double>(steady_clock::now() - killed).count();
  // The last write came at most a second, and the time one write takes, before the kill.
  EXPECT_LE(granted, static_cast<int>((seconds + 1.5) * kRate));
  EXPECT_EQ(without_pool_lines(server->stderr_text()), "");
}

// Each kind of bad file is reported in one line, kept aside as .bad, and the server starts with
// no buckets: the key in it is new again. A directory that takes no file is reported once, its
// failed writes are counted, and the last file stays as it was.
TEST_F(StateTest, BadFilesAndFailedWritesAreReportedOnceAndTheServerServes) {
  const std::string good = good_file("bad", 0);
  struct Row {
    const char* problem;
    std::function<std::string(std::string)> spoil;
  } rows[] = {
      {"truncated", [](std::string bytes) { return bytes.substr(0, bytes.size() - 3); }},
      {"checksum mismatch",
       [](std::string bytes) {
         return bytes.replace(30, 1, 1, static_cast<char>(bytes.at(30) ^ 1));
       }},
      {"version 2, this server reads version 1",
       [](std::string bytes) {
         return bytes.replace(8, 1, 1, '\2');  // the version's low byte
       }},
      {"not a state file", [](const std::string&) { return std::string("{\"array\":[]}\n"); }},
  };
  for (const Row& row : rows) {
    write(path_, row.spoil(good));
    auto server = start();
    EXPECT_EQ(grant("bad", 5, 1, 10), 5) << row.problem;
    EXPECT_EQ(server->stderr_text(), "state file " + path_ + ": " + row.problem + "; kept as " +
                                         path_ + ".bad, starting with no buckets\n");
    EXPECT_EQ(read_file(path_ + ".bad"), row.spoil(good)) << row.problem;
    server->stop(SIGKILL);
    std::remove((path_ + ".bad").c_str());
    std::remove(path_.c_str());
  }

  const std::string kept = good_file("bad", 0);  // written now: the rows above took seconds
  write(path_, kept);
  ASSERT_EQ(::mkdir((path_ + ".tmp").c_str(), 0700), 0);  // where each write would begin
  auto server = start();
  EXPECT_LT(grant("bad", 5, 1, 10), 5);  // loaded empty, and known: the refill since, no more
  for (int second = 0; second < 3; ++second) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    grant("bad", 0, 1, 10);  // a request: the state is due to be written again
  }
  EXPECT_EQ(server->stderr_text(),
            "state file " + path_ + ": cannot create " + path_ +
                ".tmp: Is a directory; the last one written stays, and writing goes on being "
                "tried\n");
  kill(server->pid(), SIGUSR1);
  ASSERT_TRUE(server->wait_for_stderr(" state_keys_loaded=1\n"));
  std::string figures = server->stderr_text();
  size_t failures = figures.find(" state_write_failures=");
  ASSERT_NE(failures, std::string::npos);
  EXPECT_GE(std::stoi(figures.substr(failures + 22)), 2);
  EXPECT_EQ(read_file(path_), kept);
}

}  // namespace

}  // namespace token_server
