// The process: start-up line, start-up failures, the orderly stop and idle cost.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "server/TokenServer.h"
#include "server/unique_fd.h"
#include "tests/support/server_process.h"
#include "tests/support/test_client.h"

namespace token_server {

namespace {

constexpr uint16_t kPort = 6666;

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
  // Earlier tests leave the port's closed connections in TIME_WAIT; only a listener must hold it.
  int reuse = 1;
  ::setsockopt(holder, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
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
TEST(Stop, TermAndIntEndAServerWithIdleClientsPromptly) {
  for (int signal : {SIGTERM, SIGINT}) {
    ServerProcess server;
    ASSERT_TRUE(server.listening());
    Clients clients = served_clients(3, kPort);
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
    TestClient client(kPort);
    ASSERT_EQ(client.exchange("SHAKE\r\n"), "OK\r\n");
    ASSERT_EQ(first.stop(SIGTERM), 0);
  }
  ServerProcess second;
  EXPECT_TRUE(second.listening()) << second.stderr_text();
}

TEST(Idle, ConnectedIdleClientsCostNoProcessorTime) {
  ServerProcess server;
  ASSERT_TRUE(server.listening());
  Clients clients = served_clients(10, kPort);
  long long before = server.cpu_ticks();
  std::this_thread::sleep_for(std::chrono::seconds(2));
  // A spinning worker would burn ~200 ticks here; allow a couple for the accept loop's wake-ups.
  EXPECT_LE(server.cpu_ticks() - before, 3);
}

TEST(Trace, OneHandshakeExchangeIsTracedExactly) {
  ServerProcess server;
  ASSERT_TRUE(server.listening());
  {
    TestClient client(kPort);
    ASSERT_EQ(client.exchange("SHAKE\r\n"), "OK\r\n");
  }
  std::string expected =
      "listen on port 6666\n"
      "end: 7\n"
      "message from client: SHAKE\r\n\n"
      "reply msg: OK\r\n\n"
      "message from client: \n";  // the read that finds the peer gone
  EXPECT_TRUE(server.wait_for_stdout(expected));
  EXPECT_EQ(server.stdout_text(), expected);
}

// The two connections beyond the pool wait; standard error tells when waiting begins, once, and
// when the queue is empty again.
TEST(Pool, ConnectionsBeyondFiftyWaitForAFreeWorker) {
  ServerProcess server;
  ASSERT_TRUE(server.listening());
  Clients busy = served_clients(kWorkerCount, kPort);
  Clients waiting;
  for (int i = 0; i < 2; ++i) {
    waiting.push_back(std::make_unique<TestClient>(kPort));
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

// SIGUSR1 writes one line of figures on standard error and nothing on standard output; serving
// goes on.
TEST(Figures, UserSignalWritesTheFiguresOnStandardError) {
  ServerProcess server;
  ASSERT_TRUE(server.listening());
  TestClient client(kPort);
  ASSERT_EQ(client.exchange("SHAKE\r\n"), "OK\r\n");
  ASSERT_TRUE(client.send("not json\r\n{\"array\":5}\r\n"));
  ASSERT_EQ(
      client.exchange("{\"array\":[{\"accesskey\":\"f1\",\"need_tokens\":3,\"gen_rate\":1,"
                      "\"burst_size\":5},{\"accesskey\":\"f2\",\"need_tokens\":4,"
                      "\"gen_rate\":1,\"burst_size\":5}]}\r\n"),
      "{\"array\":[{\"accesskey\":\"f1\",\"tokens\":3},{\"accesskey\":\"f2\",\"tokens\":4}]}\r\n");
  std::string trace = server.stdout_text();
  ::kill(server.pid(), SIGUSR1);
  ASSERT_TRUE(server.wait_for_stderr("entries_limited=0\n"));
  const std::string figures = server.stderr_text();
  const std::string expected_after_uptime =
      " connections_accepted=1 connections_served=1 connections_queued=0 busy_workers=1 "
      "workers=50 handshakes=1 token_requests=1 parse_errors=1 refusals=1 tokens_granted=7 "
      "known_keys=2 trace_lines_lost=0 connections_waited=0 entries_requested=2 "
      "tokens_requested=7 entries_limited=0\n";
  EXPECT_EQ(figures.rfind("json parse error\ninvalid token request: \"array\" missing or not an "
                          "array\nfigures: uptime_s=",
                          0),
            0u)
      << figures;
  EXPECT_EQ(figures.substr(figures.size() - expected_after_uptime.size()), expected_after_uptime);
  EXPECT_EQ(client.exchange("SHAKE\r\n"), "OK\r\n");
  EXPECT_EQ(server.stdout_text().substr(0, trace.size()), trace);
  EXPECT_EQ(server.stdout_text().find("figures"), std::string::npos);
}

TEST(Faults, PeerResettingMidRequestDoesNotEndTheServer) {
  ServerProcess server;
  ASSERT_TRUE(server.listening());
  for (int i = 0; i < 20; ++i) {
    TestClient client(kPort);
    ASSERT_TRUE(client.send(i % 2 ? "SHAKE\r\nSHA" : "SHAKE\r\n"));
    client.reset();
  }
  TestClient survivor(kPort);
  EXPECT_EQ(survivor.exchange("SHAKE\r\n"), "OK\r\n");
  EXPECT_TRUE(server.running());
}

}  // namespace

}  // namespace token_server
