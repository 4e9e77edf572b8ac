// Faults around the real binary: running out of descriptors, a peer that stops reading, a peer
// that resets while its replies are being sent, standard output that is a closed pipe, a pipe
// nobody reads or one read slowly, and a start with standard input, output and error closed.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "server/TokenServer.h"
#include "server/unique_fd.h"
#include "tests/support/poll_until.h"
#include "tests/support/server_process.h"
#include "tests/support/test_client.h"
#include "tests/support/token_request_text.h"

namespace token_server {

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kHandshake[] = "SHAKE\r\n";
constexpr char kAcceptExhausted[] = "accept: Too many open files\n";
constexpr long kDescriptorLimit = 64;
constexpr int kExhaustingClients = 100;
// A few accept retries (one per accept poll) pass within this while descriptors stay exhausted.
constexpr auto kExhaustedPause = std::chrono::seconds(1);
constexpr auto kConnectLimit = std::chrono::seconds(5);
constexpr int kDescriptorsSearched = 64;  // the server's few descriptors take the lowest numbers

// A receive buffer this small makes a peer that does not read stall the server's sends early.
constexpr int kSmallReceiveBuffer = 4096;
constexpr int kLargeRequestEntries = 200;  // a request of about 14 kB, a reply of about 6 kB
// The server counts as stalled when the peer's socket takes no byte for this long.
constexpr int kStallMillis = 2000;
constexpr size_t kMaxStallBytes = 64 << 20;
constexpr int kResettingPeers = 20;
constexpr int kRequestsBeforeReset = 20;

// About 50 bytes of trace each: several times what a pipe holds.
constexpr int kExchangesOverflowingAPipe = 4000;
constexpr auto kStopLimit = std::chrono::seconds(2);
// Long and short requests at once on a slowly read standard output.
constexpr int kLongRequestClients = 4;
constexpr int kLongRequestsEach = 5;
constexpr int kLongRequestEntries = 170;  // a request of about 12 kB, a reply of about 5 kB
constexpr int kShortRequestClients = 20;
constexpr int kShortRequestsEach = 20;
constexpr size_t kSlowReadBytes = 4096;
constexpr auto kSlowReadPause = std::chrono::milliseconds(1);
constexpr int kSlowReadPollMillis = 100;
constexpr auto kSlowReadLimit = std::chrono::seconds(60);

std::string large_request(const std::string& key) {
  std::vector<std::string> entries(kLargeRequestEntries, token_entry(key, "1", "1000", "1000"));
  return token_request(entries) + "\r\n";
}

void shrink_receive_buffer(TestClient& client) {
  int size = kSmallReceiveBuffer;
  ::setsockopt(client.fd(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
}

// Shrinks the client's receive buffer and sends a large request over and over without reading
// any reply until the connection takes no more bytes: the server is then blocked sending to it.
// False if that never happens.
bool stall_server_on(TestClient& client) {
  shrink_receive_buffer(client);
  const std::string request = large_request("stalled");
  size_t offset = 0;
  for (size_t total = 0; total < kMaxStallBytes;) {
    pollfd wait = {client.fd(), POLLOUT, 0};
    if (::poll(&wait, 1, kStallMillis) == 0) return true;
    ssize_t sent = ::send(client.fd(), request.data() + offset, request.size() - offset,
                          MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (sent <= 0) return false;
    offset = (offset + static_cast<size_t>(sent)) % request.size();
    total += static_cast<size_t>(sent);
  }
  return false;
}

// The trace's lines, each without its newline. A request or a reply keeps its own CR LF, which
// comes right before the newline.
std::vector<std::string> trace_lines(const std::string& trace) {
  std::vector<std::string> lines;
  for (size_t start = 0, end; (end = trace.find('\n', start)) != std::string::npos;
       start = end + 1) {
    if (end > start && trace[end - 1] == '\r' && end + 1 < trace.size()) ++end;
    lines.push_back(trace.substr(start, end - start));
  }
  return lines;
}

// Connects, retrying while the server is not listening yet.
std::unique_ptr<TestClient> connect_when_listening() {
  std::unique_ptr<TestClient> client;
  poll_until(
      [&] {
        client = std::make_unique<TestClient>(kServerPort);
        return client->connected();
      },
      kConnectLimit, std::chrono::milliseconds(20));
  return client;
}

// The port of the other end of socket `fd`, or 0.
uint16_t peer_port(int fd) {
  sockaddr_in peer = {};
  socklen_t length = sizeof peer;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0) return 0;
  return ntohs(peer.sin_port);
}

// The server's end of `client`'s connection, copied into this process (pidfd_getfd); -1 with
// errno set when the kernel does not allow it.
UniqueFd server_end_of(pid_t server, const TestClient& client) {
  UniqueFd process(static_cast<int>(::syscall(SYS_pidfd_open, server, 0)));
  for (int fd = 0; process.get() >= 0 && fd < kDescriptorsSearched; ++fd) {
    UniqueFd copy(static_cast<int>(::syscall(SYS_pidfd_getfd, process.get(), fd, 0)));
    if (copy.get() >= 0 && peer_port(copy.get()) == client.local_port()) {
      return UniqueFd(copy.release());
    }
  }
  return UniqueFd();
}

long long int_option(const UniqueFd& fd, int level, int name) {
  int value = -1;
  socklen_t length = sizeof value;
  ::getsockopt(fd.get(), level, name, &value, &length);
  return value;
}

void expect_served(const std::string& what) {
  TestClient client(kServerPort);
  EXPECT_EQ(client.exchange(kHandshake), kHandshakeReply) << what;
  EXPECT_EQ(client.exchange("{\"array\":[]}\r\n"), "{\"array\":[]}\r\n") << what;
}

TEST(Faults, DescriptorExhaustionIsReportedOnceAndPassesWhenConnectionsClose) {
  ServerProcess::Options options;
  options.descriptor_limit = kDescriptorLimit;
  ServerProcess server(options);
  ASSERT_TRUE(server.listening());
  int accepted_at_most = static_cast<int>(kDescriptorLimit) - server.open_descriptors();
  int served = std::min(kWorkerCount, accepted_at_most);
  ASSERT_GT(served, 0);

  std::vector<std::unique_ptr<TestClient>> clients;
  for (int i = 0; i < kExhaustingClients; ++i) {
    clients.push_back(std::make_unique<TestClient>(kServerPort));
    ASSERT_TRUE(clients.back()->connected()) << "client " << i;
  }
  ASSERT_TRUE(server.wait_for_stderr(kAcceptExhausted));
  // Connections are accepted in the order they were made; those with a worker go on being served
  // while accepting waits for a free descriptor.
  for (int i = 0; i < served; ++i) {
    ASSERT_EQ(clients[i]->exchange(kHandshake), kHandshakeReply) << "client " << i;
  }
  std::this_thread::sleep_for(kExhaustedPause);
  EXPECT_EQ(without_pool_lines(server.stderr_text()), kAcceptExhausted);

  // Closed connections free descriptors and workers: the waiting ones are accepted and served.
  for (int i = 0; i < served; ++i) clients[i]->close();
  for (int i = served; i < kExhaustingClients; ++i) {
    EXPECT_EQ(clients[i]->exchange(kHandshake), kHandshakeReply) << "client " << i;
    clients[i]->close();
  }
  expect_served("a new connection after the exhaustion");
  EXPECT_TRUE(server.running());
  // Each accepted waiting connection ends an episode, and the next may begin one: once each.
  std::istringstream errors(without_pool_lines(server.stderr_text()));
  for (std::string line; std::getline(errors, line);) EXPECT_EQ(line + "\n", kAcceptExhausted);
}

// A peer that stops reading holds up its own connection only, and no stop: the other
// connections are served, one that goes away frees its worker, and a stop ends a connection
// mid-request beside one that does not read.
TEST(Faults, APeerThatStopsReadingHoldsUpOnlyItsOwnConnectionAndNoStop) {
  ServerProcess server;
  ASSERT_TRUE(server.listening());
  TestClient stalled(kServerPort);
  ASSERT_TRUE(stall_server_on(stalled));
  TestClient still_stalled(kServerPort);
  ASSERT_TRUE(stall_server_on(still_stalled));

  for (int i = 0; i < 5; ++i) expect_served("a connection beside the stalled ones");

  stalled.reset();  // the blocked send fails, and the worker moves on
  expect_served("a connection after a stalled one went away");
  EXPECT_TRUE(server.running());
  EXPECT_EQ(server.stderr_text(), "");

  TestClient partial(kServerPort);
  ASSERT_EQ(partial.exchange(kHandshake), kHandshakeReply);  // served, not queued
  ASSERT_TRUE(partial.send("{\"array\":["));
  EXPECT_EQ(server.stop(SIGTERM, std::chrono::seconds(2)), 0);
  EXPECT_TRUE(partial.closed_within(std::chrono::seconds(1)));
}

// Peers that reset while their replies are being sent, or in the middle of a request.
TEST(Faults, PeersThatResetMidReplyOrMidRequestLeaveTheServerRunning) {
  ServerProcess server;
  ASSERT_TRUE(server.listening());
  std::string request = large_request("resetting");
  std::string requests;
  for (int i = 0; i < kRequestsBeforeReset; ++i) requests += request;
  for (int i = 0; i < kResettingPeers; ++i) {
    TestClient peer(kServerPort);
    shrink_receive_buffer(peer);
    ASSERT_TRUE(peer.send(requests));
    ASSERT_TRUE(peer.has_data_within(std::chrono::seconds(5)));  // replies are on their way
    peer.reset();
  }
  for (int i = 0; i < kResettingPeers; ++i) {
    TestClient peer(kServerPort);
    ASSERT_TRUE(peer.send(i % 2 ? "SHAKE\r\nSHA" : kHandshake));
    peer.reset();
  }
  // Sends into reset connections fail with EPIPE or ECONNRESET; SIGPIPE would end the process.
  expect_served("a connection after the resets");
  EXPECT_TRUE(server.running());
  EXPECT_EQ(server.stderr_text(), "");
}

// The kernel hands the listening socket's probes on to every connection it accepts.
TEST(Faults, AcceptedConnectionsProbeForVanishedPeers) {
  ServerProcess server;
  ASSERT_TRUE(server.listening());
  TestClient client(kServerPort);
  ASSERT_EQ(client.exchange(kHandshake), kHandshakeReply);
  UniqueFd accepted = server_end_of(server.pid(), client);
  ASSERT_GE(accepted.get(), 0) << "the server's end of the connection: " << std::strerror(errno);
  EXPECT_EQ(int_option(accepted, SOL_SOCKET, SO_KEEPALIVE), 1);
  EXPECT_EQ(int_option(accepted, IPPROTO_TCP, TCP_KEEPIDLE), kKeepaliveIdle.count());
  EXPECT_EQ(int_option(accepted, IPPROTO_TCP, TCP_KEEPINTVL), kKeepaliveInterval.count());
  EXPECT_EQ(int_option(accepted, IPPROTO_TCP, TCP_KEEPCNT), kKeepaliveProbes);
  EXPECT_EQ(int_option(accepted, IPPROTO_TCP, TCP_USER_TIMEOUT), kUserTimeout.count());
}

// Closed at the start, standard error would be the first connection accepted, which would then
// receive another client's error lines and the figures. The metrics port is held, so that the
// endpoint's socket does not take descriptor 2 first.
TEST(Faults, StartWithStandardDescriptorsClosedWritesNothingToAClient) {
  PortLock lock;
  UniqueFd metrics_port_holder(TokenServer::open_listening_socket(kMetricsPort, 1));
  ASSERT_GE(metrics_port_holder.get(), 0);
  ServerProcess::Options options;
  options.wait_until_listening = false;
  options.standard_descriptors_closed = true;
  ServerProcess server(options);
  std::unique_ptr<TestClient> idle = connect_when_listening();
  ASSERT_TRUE(idle->connected());
  TestClient client(kServerPort);
  ASSERT_TRUE(client.send("not json\r\n"));
  ASSERT_EQ(client.exchange(kHandshake), kHandshakeReply);  // the bad request is handled by now
  ::kill(server.pid(), SIGUSR1);
  EXPECT_FALSE(idle->has_data_within(std::chrono::milliseconds(500)));
  expect_served("a new connection");
  EXPECT_TRUE(server.running());
}

// Standard output a closed pipe, or a pipe nobody reads: its lines are dropped and counted lost
// (on the closed pipe all three of every exchange: the end of its receive, the request and the
// reply), the service goes on, and SIGTERM still ends the server promptly.
TEST(Faults, BrokenStdoutLosesTheTraceButNotTheServiceNorTheStop) {
  const std::string token_line = token_request({token_entry("piped", "0", "1", "5")}) + "\r\n";
  const std::string token_answer = token_reply({{"piped", 0}});
  for (bool closed : {true, false}) {
    SCOPED_TRACE(closed ? "closed pipe" : "pipe nobody reads");
    ServerProcess::Options options;
    options.stdout_to_closed_pipe = closed;
    options.stdout_to_pipe = !closed;
    ServerProcess server(options);
    ASSERT_TRUE(server.listening());
    std::unique_ptr<TestClient> client = connect_when_listening();
    ASSERT_TRUE(client->connected());
    for (int i = 0; i < kExchangesOverflowingAPipe; ++i) {
      bool handshake = i % 2 == 0;
      ASSERT_EQ(client->exchange(handshake ? kHandshake : token_line),
                handshake ? kHandshakeReply : token_answer)
          << "exchange " << i;
    }
    EXPECT_EQ(server.stderr_text(), "");
    ::kill(server.pid(), SIGUSR1);
    ASSERT_TRUE(server.wait_for_stderr(" trace_lines_lost="));
    if (closed) {
      const std::string all_lost =
          " trace_lines_lost=" + std::to_string(3 * kExchangesOverflowingAPipe) + " ";
      EXPECT_NE(server.stderr_text().find(all_lost), std::string::npos) << server.stderr_text();
    } else {
      EXPECT_EQ(server.stderr_text().find(" trace_lines_lost=0 "), std::string::npos);
    }
    EXPECT_EQ(server.stop(SIGTERM, kStopLimit), 0);
  }
}

// Standard output a pipe read slowly while long and short requests come at once: every line
// arrives whole, and each request line shows one request that was sent.
TEST(Faults, LongLinesOnASlowPipeStayWhole) {
  ServerProcess::Options options;
  options.stdout_to_pipe = true;
  ServerProcess server(options);
  ASSERT_TRUE(server.listening());
  std::string trace;
  std::thread reader([&] {  // until the pipe ends with the server, or the time is up
    char chunk[kSlowReadBytes];
    pollfd wait = {server.stdout_pipe(), POLLIN, 0};
    for (auto deadline = Clock::now() + kSlowReadLimit; Clock::now() < deadline;) {
      if (::poll(&wait, 1, kSlowReadPollMillis) <= 0) continue;
      ssize_t n = ::read(server.stdout_pipe(), chunk, sizeof chunk);
      if (n <= 0) return;
      trace.append(chunk, static_cast<size_t>(n));
      std::this_thread::sleep_for(kSlowReadPause);
    }
  });
  std::vector<std::string> entries(kLongRequestEntries,
                                   token_entry("long", "1", "1000000", "1000000"));
  const std::string long_request = token_request(entries) + "\r\n";
  const std::string long_reply =
      token_reply(std::vector<std::pair<std::string, unsigned>>(kLongRequestEntries, {"long", 1}));
  auto exchange_all = [](const std::string& request, const std::string& reply, int count) {
    TestClient client(kServerPort);
    for (int i = 0; i < count; ++i) EXPECT_EQ(client.exchange(request), reply);
  };
  std::vector<std::thread> clients;
  for (int i = 0; i < kLongRequestClients; ++i) {
    clients.emplace_back(exchange_all, long_request, long_reply, kLongRequestsEach);
  }
  for (int i = 0; i < kShortRequestClients; ++i) {
    clients.emplace_back(exchange_all, kHandshake, kHandshakeReply, kShortRequestsEach);
  }
  for (std::thread& client : clients) client.join();
  EXPECT_EQ(server.stop(SIGTERM, kStopLimit), 0);
  reader.join();

  const std::string kLinePrefixes[] = {"message from client: ", "reply msg: "};
  const std::vector<std::string> kShown[] = {{long_request, kHandshake, ""},
                                             {long_reply, kHandshakeReply}};
  int long_lines = 0;
  for (const std::string& line : trace_lines(trace)) {
    bool whole =
        line.rfind("end: ", 0) == 0 && line.find_first_not_of("0123456789", 5) == std::string::npos;
    for (int kind = 0; kind < 2; ++kind) {
      if (line.rfind(kLinePrefixes[kind], 0) != 0) continue;
      std::string shown = line.substr(kLinePrefixes[kind].size());
      whole = std::count(kShown[kind].begin(), kShown[kind].end(), shown) > 0;
      if (shown == long_request) ++long_lines;
    }
    EXPECT_TRUE(whole) << line.substr(0, 100) << "... (" << line.size() << " bytes)";
  }
  EXPECT_GT(long_lines, 0);
}

}  // namespace

}  // namespace token_server
