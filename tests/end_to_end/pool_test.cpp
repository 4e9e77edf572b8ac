// The pool of the real binary: idle connections cost no processor time. (Connections beyond its
// fifty workers wait: metrics_test.cpp, which also reads the pages meanwhile.)
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "server/TokenServer.h"
#include "tests/support/server_process.h"
#include "tests/support/test_client.h"

namespace token_server {
namespace {

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
