// The process: the start-up line, start-up failures, its cost while idle and the orderly stop.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <thread>
#include <utility>

#include "server/TokenServer.h"
#include "server/unique_fd.h"
#include "tests/support/server_process.h"
#include "tests/support/test_client.h"

namespace token_server {

namespace {

// A service manager's notification socket: a datagram socket in the abstract namespace, so that it
// leaves no file behind.
class NotifySocket {
 public:
  NotifySocket() : fd_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, name_.data(), name_.size());  // sun_path[0] == 0: abstract
    socklen_t length = offsetof(sockaddr_un, sun_path) + 1 + name_.size();
    bound_ = ::bind(fd_.get(), reinterpret_cast<sockaddr*>(&address), length) == 0;
  }

  bool bound() const { return bound_; }
  std::string environment_entry() const { return "NOTIFY_SOCKET=@" + name_; }

  // The next datagram, or "" when none arrives within `limit`.
  std::string receive(std::chrono::milliseconds limit) {
    pollfd wait = {fd_.get(), POLLIN, 0};
    if (::poll(&wait, 1, static_cast<int>(limit.count())) != 1) return "";
    char datagram[256];
    ssize_t length = ::recv(fd_.get(), datagram, sizeof datagram, 0);
    return length > 0 ? std::string(datagram, static_cast<size_t>(length)) : "";
  }

 private:
  UniqueFd fd_;
  const std::string name_ = "token_server_test_notify." + std::to_string(::getpid());
  bool bound_ = false;
};

// Any command line but the two options is ignored: the server starts as without one.
TEST(Startup, WritesOnlyTheListenLineWhileIdle) {
  ServerProcess::Options options;
  options.arguments = {"--port", "7000", "--version", "--help"};
  ServerProcess server(options);
  ASSERT_TRUE(server.listening());
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(server.stdout_text(), "listen on port 6666\n");
  EXPECT_EQ(server.stderr_text(), "");
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

TEST(Startup, VersionAndHelpPrintAndExitWithoutServing) {
  const std::pair<std::string, std::string> options_and_first_lines[] = {
      {"--version", "token-server " TOKEN_PROJECT_VERSION "\n"},
      {"--help", "usage: token-server [--version | --help]\n"}};
  for (const auto& [option, first_line] : options_and_first_lines) {
    ServerProcess::Options options;
    options.wait_until_listening = false;
    options.arguments = {option};
    ServerProcess server(options);
    EXPECT_EQ(server.wait_exit(std::chrono::seconds(5)), 0) << option;
    EXPECT_EQ(server.stdout_text().substr(0, first_line.size()), first_line);
    EXPECT_EQ(server.stderr_text(), "") << option;
  }
}

TEST(Startup, PortHeldByAnotherListenerExitsWithStatusOne) {
  PortLock lock;
  // Bound as the server binds, so that the port's connections left in TIME_WAIT by earlier tests
  // do not count: only a listener holds it.
  UniqueFd holder(TokenServer::open_listening_socket(kServerPort, 1));
  ASSERT_GE(holder.get(), 0);
  ServerProcess::Options options;
  options.wait_until_listening = false;
  ServerProcess server(options);
  EXPECT_EQ(server.wait_exit(std::chrono::seconds(5)), 1);
  EXPECT_EQ(server.stderr_text(), "listen socket: Address already in use\n");
  EXPECT_EQ(server.stdout_text(), "");
}

TEST(Stop, TermAndIntEndAServerWithIdleClientsPromptly) {
  for (int signal : {SIGTERM, SIGINT}) {
    ServerProcess server;
    ASSERT_TRUE(server.listening());
    Clients clients = served_clients(3, kServerPort);
    EXPECT_EQ(server.stop(signal, std::chrono::seconds(2)), 0) << "signal " << signal;
    for (auto& client : clients) EXPECT_TRUE(client->closed_within(std::chrono::seconds(1)));
  }
}

TEST(Stop, TellsTheServiceManagerReadyAfterTheListenLineAndStoppingOnTerm) {
  NotifySocket manager;
  ASSERT_TRUE(manager.bound());
  ServerProcess::Options options;
  options.wait_until_listening = false;
  options.environment = {manager.environment_entry()};
  ServerProcess server(options);
  ASSERT_EQ(manager.receive(std::chrono::seconds(5)), "READY=1");
  EXPECT_EQ(server.stdout_text(), "listen on port 6666\n");
  EXPECT_EQ(server.stop(SIGTERM), 0);
  EXPECT_EQ(manager.receive(std::chrono::seconds(1)), "STOPPING=1");
}

TEST(Stop, RestartRightAfterAStopBindsAtOnce) {
  {
    ServerProcess first;
    ASSERT_TRUE(first.listening());
    TestClient client(kServerPort);
    ASSERT_EQ(client.exchange("SHAKE\r\n"), "OK\r\n");
    ASSERT_EQ(first.stop(SIGTERM), 0);
  }
  ServerProcess second;
  EXPECT_TRUE(second.listening()) << second.stderr_text();
}

}  // namespace

}  // namespace token_server
