// The process: start-up line, start-up failures, the orderly stop and idle cost.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <thread>
#include <vector>

#include "tests/support/server_process.h"
#include "tests/support/test_client.h"

namespace {

constexpr uint16_t kPort = 6666;

TEST(Startup, WritesOnlyTheListenLineWhileIdle) {
  ServerProcess server;
  ASSERT_TRUE(server.listening());
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(server.stdout_text(), "listen on port 6666\n");
  EXPECT_EQ(server.stderr_text(), "");
}

TEST(Startup, PortHeldByAnotherListenerExitsWithStatusOne) {
  PortLock lock;
  int holder = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(kPort);
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(holder, 1), 0);
  ServerProcess::Options options;
  options.wait_until_listening = false;
  ServerProcess server(options);
  EXPECT_EQ(server.wait_exit(std::chrono::seconds(5)), 1);
  EXPECT_EQ(server.stderr_text(), "listen socket: Address already in use\n");
  EXPECT_EQ(server.stdout_text(), "");
  ::close(holder);
}
}  // namespace
