// The pool of the real binary: connections beyond its fifty workers wait and are told of on
// standard error; idle connections cost no processor time.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "server/TokenServer.h"
#include "tests/support/server_process.h"
#include "tests/support/test_client.h"

namespace token_server {
namespace {

// The two connections beyond the pool wait; standard error tells when waiting begins, once, and
// when the queue is empty again.
TEST(Pool, ConnectionsBeyondFiftyWaitForAFreeWorker) {
  ServerProcess server;
  ASSERT_TRUE(server.listening());
  Clients busy = served_clients(kWorkerCount, kServerPort);
  Clients waiting;
  for (int i = 0; i < 2; ++i) {
    waiting.push_back(std::make_unique<TestClient>(kServerPort));
    ASSERT_TRUE(waiting.back()->send("SHAKE\r\n"));
  }
  EXPECT_FALSE(waiting[0]->has_data_within(std::chrono::milliseconds(300)));
  EXPECT_EQ(server.stderr_text(), "all 50 workers busy: connections are waiting\n");
  busy[17].reset();
  EXPECT_EQ(waiting[0]->read_line(), "OK\r\n");
  EXPECT_FALSE(waiting[1]->has_data_within(std::chrono::milliseconds(100)));
  busy[18].reset();
  EXPECT_EQ(waiting[1]->read_line(), "OK\r\n");
  ASSERT_TRUE(server.wait_for_stderr("connections no longer waiting: 2 waited, longest wait "));
  std::string errors = server.stderr_text();
  EXPECT_EQ(errors.rfind("all 50 workers busy: connections are waiting\n"
                         "connections no longer waiting: 2 waited, longest wait ",
                         0),
            0u)
      << errors;
  EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 2) << errors;
}

TEST(Pool, IdleConnectionsCostNoProcessorTime) {
  ServerProcess server;
  ASSERT_TRUE(server.listening());
  Clients clients = served_clients(10, kServerPort);
  long long before = server.cpu_ticks();
  std::this_thread::sleep_for(std::chrono::seconds(2));
  // A spinning worker would burn ~200 ticks here; allow a couple for the accept loop's wake-ups.
  EXPECT_LE(server.cpu_ticks() - before, 3);
}

}  // namespace
}  // namespace token_server
