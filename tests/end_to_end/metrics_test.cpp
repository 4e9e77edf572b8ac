// The figures: the line SIGUSR1 writes, and the metrics endpoint: a real Prometheus scraping the
// binary, the pages while connections wait for a worker, during a stop, under a flood of HTTP
// connections and slow or idle ones from many addresses, at the descriptor limit, and a metrics
// port held by another process; /healthz while idle connections hold every worker.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <rapidjson/document.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "harness/in_process_server.h"
#include "harness/loopback.h"
#include "server/TokenServer.h"
#include "server/health.h"
#include "server/metrics_http.h"
#include "server/unique_fd.h"
#include "tests/support/poll_until.h"
#include "tests/support/server_process.h"
#include "tests/support/test_client.h"
#include "tests/support/token_request_text.h"

namespace token_server {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kHttpLimit = std::chrono::seconds(5);
// Prometheus takes a few seconds to start on a loaded machine; each later wait is for a scrape.
constexpr auto kPrometheusStartLimit = std::chrono::seconds(60);
constexpr auto kScrapeLimit = std::chrono::seconds(20);
constexpr in_addr_t kOtherLoopbackAddress = INADDR_LOOPBACK + 1;  // 127.0.0.2
constexpr int kFloodConnections = 2 * kMetricsConnectionsPerAddress;
constexpr int kPacedRequests = 11;
// Slow clients: from 127.0.0.10 on, each address holding its share of connections; a health
// check from another address, with the time a probe allows.
constexpr in_addr_t kFirstSlowAddress = INADDR_LOOPBACK + 9;
constexpr in_addr_t kHealthCheckAddress = INADDR_LOOPBACK + 200;
constexpr auto kProbeLimit = std::chrono::seconds(1);
constexpr auto kSlowClientsRun = 2 * kMetricsRequestDeadline + std::chrono::seconds(1);
constexpr auto kTricklePause = std::chrono::milliseconds(250);
// Low enough that the connections holding every descriptor but one leave a worker free.
constexpr long kDescriptorLimit = 48;
// The server's processor ticks (100 a second) while both ports have a connection pending that
// no descriptor is left for: a spinning thread would take about 100.
constexpr long long kPausedAcceptorTicks = 20;

struct HttpReply {
  int status = 0;  // 0 when no reply came
  std::string body;
};

// A blocking connection to 127.0.0.1:port from `source`; -1 when the connect fails or takes
// longer than `limit` (a full backlog drops the handshake, which the kernel retries for minutes).
int connect_from(in_addr_t source, uint16_t port, std::chrono::milliseconds limit = kHttpLimit) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(source);
  ::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    pollfd wait = {fd.get(), POLLOUT, 0};
    int error = 0;
    socklen_t length = sizeof error;
    if (errno != EINPROGRESS || ::poll(&wait, 1, static_cast<int>(limit.count())) != 1 ||
        ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
      return -1;
    }
  }
  ::fcntl(fd.get(), F_SETFL, 0);
  return fd.release();
}

// Sends one HTTP/1.0 request to 127.0.0.1:port from `source` and reads the reply to its close.
HttpReply http_request(uint16_t port, const std::string& method, const std::string& target,
                       in_addr_t source = INADDR_LOOPBACK,
                       std::chrono::milliseconds limit = kHttpLimit) {
  UniqueFd fd(connect_from(source, port, limit));
  if (fd.get() < 0) return {};
  std::string request = method + " " + target + " HTTP/1.0\r\n\r\n";
  if (::send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL) < 0) return {};
  std::string reply;
  auto deadline = Clock::now() + limit;
  for (;;) {
    pollfd wait = {fd.get(), POLLIN, 0};
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0 || ::poll(&wait, 1, static_cast<int>(left.count())) <= 0) return {};
    char chunk[65536];
    ssize_t received = ::recv(fd.get(), chunk, sizeof chunk, 0);
    if (received < 0) return {};
    if (received == 0) break;
    reply.append(chunk, static_cast<size_t>(received));
  }
  size_t body_start = reply.find("\r\n\r\n");
  if (reply.rfind("HTTP/1.", 0) != 0 || body_start == std::string::npos) return {};
  return {std::stoi(reply.substr(9, 3)), reply.substr(body_start + 4)};
}

HttpReply http_get(uint16_t port, const std::string& target) {
  return http_request(port, "GET", target);
}

// The value of the sample `name` (with its labels) in an exposition, or -1 when absent.
double sample_value(const std::string& exposition, const std::string& name) {
  size_t at = exposition.find("\n" + name + " ");
  return at == std::string::npos ? -1 : std::stod(exposition.substr(at + name.size() + 2));
}

// A port free on 127.0.0.1 now, for a process that binds it soon after.
uint16_t free_port() {
  uint16_t port = 0;
  UniqueFd fd(listen_on_loopback(&port, 1));
  return port;
}

std::string url_encoded(const std::string& text) {
  std::string encoded;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '_') {
      encoded += static_cast<char>(c);
    } else {
      char escape[4];
      std::snprintf(escape, sizeof escape, "%%%02X", c);
      encoded += escape;
    }
  }
  return encoded;
}

// Whether promtool finds nothing to say about `exposition`; its complaints go to `findings`.
bool promtool_accepts(const std::string& exposition, std::string* findings) {
  std::string path = "/tmp/token_server_test_exposition." + std::to_string(::getpid());
  std::ofstream(path) << exposition;
  std::string command = "promtool check metrics < " + path + " 2>&1";
  FILE* output = ::popen(command.c_str(), "r");
  char line[512];
  while (output != nullptr && std::fgets(line, sizeof line, output) != nullptr) *findings += line;
  int status = output != nullptr ? ::pclose(output) : -1;
  std::filesystem::remove(path);
  return status == 0 && findings->empty();
}

// Prometheus on a port of its own, scraping `target` every 200 ms into a storage directory that
// goes with it. Stopped, by its process id, when the object goes.
class Prometheus {
 public:
  explicit Prometheus(const std::string& target) : port_(free_port()) {
    char directory[] = "/tmp/token_server_test_prometheus.XXXXXX";
    directory_ = ::mkdtemp(directory);
    std::ofstream(directory_ + "/prometheus.yml")
        << "global:\n  scrape_interval: 200ms\n  scrape_timeout: 150ms\n"
           "scrape_configs:\n  - job_name: token_server\n    static_configs:\n"
           "      - targets: ['"
        << target << "']\n";
    std::vector<std::string> arguments = {
        "prometheus", "--config.file=" + directory_ + "/prometheus.yml",
        "--storage.tsdb.path=" + directory_ + "/data",
        "--web.listen-address=127.0.0.1:" + std::to_string(port_), "--log.level=error"};
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    UniqueFd log(::open((directory_ + "/log").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(log.get(), 1);
      ::dup2(log.get(), 2);
      ::execvp(argv[0], argv.data());
      std::perror("prometheus");
      ::_exit(127);
    }
  }
  ~Prometheus() {
    ::kill(pid_, SIGTERM);
    if (!poll_until([this] { return ::waitpid(pid_, nullptr, WNOHANG) != 0; },
                    std::chrono::seconds(10))) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    std::filesystem::remove_all(directory_);
  }
  Prometheus(const Prometheus&) = delete;
  Prometheus& operator=(const Prometheus&) = delete;

  // The value of the instant query `expression` with one result, as Prometheus prints it ("1");
  // nullopt while it has none.
  std::optional<std::string> query(const std::string& expression) const {
    HttpReply reply = http_get(port_, "/api/v1/query?query=" + url_encoded(expression));
    rapidjson::Document answer;
    if (reply.status != 200 || answer.Parse(reply.body.c_str()).HasParseError()) {
      return std::nullopt;
    }
    if (!answer.IsObject() || !answer.HasMember("data")) return std::nullopt;
    const rapidjson::Value& data = answer["data"];
    if (!data.IsObject() || !data.HasMember("result") || !data["result"].IsArray()) {
      return std::nullopt;
    }
    const rapidjson::Value& results = data["result"];
    if (results.Size() != 1 || !results[0].IsObject() || !results[0].HasMember("value")) {
      return std::nullopt;
    }
    const rapidjson::Value& value = results[0]["value"];
    if (!value.IsArray() || value.Size() != 2 || !value[1].IsString()) return std::nullopt;
    return std::string(value[1].GetString());
  }

  // Waits until `expression` is `expected`; returns the last value seen.
  std::string wait_for(const std::string& expression, const std::string& expected,
                       std::chrono::seconds limit = kScrapeLimit) const {
    std::optional<std::string> value;
    poll_until([&] { return (value = query(expression)) == expected; }, limit,
               std::chrono::milliseconds(100));
    return value.value_or("(none)");
  }

  std::string log() const { return read_file(directory_ + "/log"); }

 private:
  uint16_t port_;
  std::string directory_;
  pid_t pid_ = -1;
};

// What was served is counted alike on /metrics, as promtool and a real Prometheus read it, and
// in the line SIGUSR1 writes on standard error, which writes nothing on standard output and lets
// serving go on.
TEST(Metrics, FiguresOfWhatWasServedOnThePageAndTheUserSignalLine) {
  ServerProcess server;
  ASSERT_TRUE(server.listening());
  TestClient client(kServerPort);
  ASSERT_EQ(client.exchange("SHAKE\r\n"), "OK\r\n");
  ASSERT_TRUE(client.send("not json\r\n{\"array\":5}\r\n"));
  // Three keys; "limited" holds 5 tokens at 1 a second, so its second request gets 5 of 10.
  const std::vector<std::pair<std::string, unsigned>> grants = {
      {"limited", 10}, {"limited", 5}, {"b", 1}, {"c", 2}, {"b", 1}};
  for (const auto& [key, granted] : grants) {
    std::string need = key == "limited" ? "10" : std::to_string(granted);
    ASSERT_EQ(client.exchange(token_request({token_entry(key, need, "1", "5")}) + "\r\n"),
              token_reply({{key, granted}}));
  }
  HttpReply exposition = http_get(kMetricsPort, "/metrics");
  ASSERT_EQ(exposition.status, 200);
  std::string findings;
  EXPECT_TRUE(promtool_accepts(exposition.body, &findings)) << findings;

  Prometheus prometheus("127.0.0.1:" + std::to_string(kMetricsPort));
  ASSERT_EQ(prometheus.wait_for("up", "1", kPrometheusStartLimit), "1") << prometheus.log();
  EXPECT_EQ(prometheus.wait_for(R"(token_server_requests_total{kind="token"})", "5"), "5");
  // Every reply sent is timed: the handshake's and the five token replies.
  EXPECT_EQ(prometheus.wait_for("token_server_request_duration_seconds_count", "6"), "6");
  EXPECT_EQ(prometheus.wait_for("token_server_known_keys", "3"), "3");
  EXPECT_EQ(prometheus.wait_for("token_server_entries_limited_total", "1"), "1");
  EXPECT_EQ(prometheus.wait_for(
                "token_server_tokens_requested_total - token_server_tokens_granted_total", "5"),
            "5");

  std::string trace = server.stdout_text();
  ::kill(server.pid(), SIGUSR1);
  ASSERT_TRUE(server.wait_for_stderr("entries_limited=1\n"));
  const std::string figures = server.stderr_text();
  const std::string expected_after_uptime =
      " connections_accepted=1 connections_served=1 connections_queued=0 busy_workers=1 "
      "workers=50 handshakes=1 token_requests=5 parse_errors=1 refusals=1 tokens_granted=19 "
      "known_keys=3 trace_lines_lost=0 connections_waited=0 entries_requested=5 "
      "tokens_requested=24 entries_limited=1\n";
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

// Connections beyond the fifty workers wait, and are served in the order accepted; standard error
// tells when waiting begins, once, and when the queue is empty again. Meanwhile the pages, served
// on a thread of their own, answer and count them.
TEST(Metrics, ConnectionsBeyondFiftyWaitAndThePagesAnswerMeanwhile) {
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
  HttpReply metrics = http_get(kMetricsPort, "/metrics");
  EXPECT_EQ(metrics.status, 200);
  for (const char* line :
       {"\ntoken_server_busy_workers 50\n", "\ntoken_server_workers 50\n",
        "\ntoken_server_connections_waiting 2\n", "\ntoken_server_connections_waited_total 2\n"}) {
    EXPECT_NE(metrics.body.find(line), std::string::npos) << line << metrics.body;
  }
  HttpReply health = http_get(kMetricsPort, "/healthz");
  EXPECT_EQ(health.status, 200);
  EXPECT_EQ(health.body, "ok");

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

// Connections beyond the endpoint's few are refused at once: a flood from one address holds a
// few descriptors, and another address still gets its answer. Requests are answered one per
// interval at most, however fast they come.
TEST(Metrics, FloodOfHttpHoldsFewDescriptorsAndWaitsItsTurn) {
  ServerProcess server;
  ASSERT_TRUE(server.listening());
  int descriptors_before = server.open_descriptors();
  // More than the endpoint holds in all, yet fewer than its backlog: no connect waits.
  Clients flood;
  for (int i = 0; i < kFloodConnections; ++i) {
    flood.push_back(std::make_unique<TestClient>(kMetricsPort));
    ASSERT_TRUE(flood.back()->connected());
  }
  // Accepted after the flood: once it is answered, every flood connection is held or refused.
  HttpReply health = http_request(kMetricsPort, "GET", "/healthz", kOtherLoopbackAddress);
  EXPECT_EQ(health.status, 200);
  EXPECT_LE(server.open_descriptors(), descriptors_before + kMetricsConnectionsPerAddress + 1);
  TestClient client(kServerPort);
  EXPECT_EQ(client.exchange("SHAKE\r\n"), "OK\r\n");
  auto started = Clock::now();
  for (int i = 0; i < kPacedRequests; ++i) {
    EXPECT_EQ(http_request(kMetricsPort, "GET", "/healthz", kOtherLoopbackAddress).status, 200);
  }
  EXPECT_GE(Clock::now() - started, (kPacedRequests - 1) * kMetricsAnswerInterval);
}

// Clients from kMetricsAddressesServed addresses, each holding as many connections as it may, half
// of them sending a byte every kTricklePause and half idle, reconnecting when closed: a health
// check from another address is answered within a probe's second all along, and each trickling
// connection is closed by its deadline although bytes keep coming.
TEST(Metrics, SlowAndIdleClientsFromManyAddressesLeaveHealthAnswering) {
  ServerProcess server;
  ASSERT_TRUE(server.listening());
  struct Slow {
    in_addr_t source;
    bool trickles;
    int fd = -1;
    int closed = 0;  // times the server closed it
  };
  std::vector<Slow> slow;
  for (unsigned address = 0; address < kMetricsAddressesServed; ++address) {
    for (unsigned i = 0; i < kMetricsConnectionsPerAddress; ++i) {
      slow.push_back({kFirstSlowAddress + address, address % 2 == 0});
    }
  }
  std::atomic<bool> done{false};
  std::thread attack([&] {
    while (!done.load()) {
      for (Slow& client : slow) {
        char byte;
        if (client.fd >= 0 && ::recv(client.fd, &byte, 1, MSG_DONTWAIT) == 0) {
          ::close(client.fd);
          client.fd = -1;
          ++client.closed;
        }
        if (client.fd < 0) client.fd = connect_from(client.source, kMetricsPort, kProbeLimit);
        if (client.trickles) ::send(client.fd, "G", 1, MSG_NOSIGNAL);
      }
      std::this_thread::sleep_for(kTricklePause);
    }
  });
  auto end = Clock::now() + kSlowClientsRun;
  int probes = 0;
  int answered = 0;
  while (Clock::now() < end) {
    ++probes;
    if (http_request(kMetricsPort, "GET", "/healthz", kHealthCheckAddress, kProbeLimit).status ==
        200) {
      ++answered;
    }
    std::this_thread::sleep_for(kTricklePause);
  }
  EXPECT_EQ(http_request(kMetricsPort, "GET", "/metrics", kHealthCheckAddress, kProbeLimit).status,
            200);
  done.store(true);
  attack.join();
  EXPECT_EQ(answered, probes);
  for (const Slow& client : slow) {
    EXPECT_TRUE(!client.trickles || client.closed >= 1) << client.source;
    if (client.fd >= 0) ::close(client.fd);
  }
}

// With the descriptors all but used up, the process's figures stay right: the open ones are
// counted and the start time kept without a free descriptor. Once none is left, a connection
// pending on either port makes its acceptor pause, not spin, and each failed accept is counted.
TEST(Metrics, AtTheDescriptorLimitFiguresStayRightAndNoAcceptorSpins) {
  ServerProcess::Options options;
  options.descriptor_limit = kDescriptorLimit;
  ServerProcess server(options);
  ASSERT_TRUE(server.listening());
  // All but one: the scrape's own connection takes the last.
  int held_count = static_cast<int>(kDescriptorLimit) - server.open_descriptors() - 1;
  Clients held;
  for (int i = 0; i < held_count; ++i) {
    held.push_back(std::make_unique<TestClient>(kServerPort));
    ASSERT_TRUE(held.back()->connected());
  }
  poll_until([&] { return server.open_descriptors() >= kDescriptorLimit - 1; }, kHttpLimit);
  HttpReply edge = http_get(kMetricsPort, "/metrics");
  ASSERT_EQ(edge.status, 200);
  EXPECT_EQ(sample_value(edge.body, "process_open_fds"), kDescriptorLimit);
  double started = sample_value(edge.body, "process_start_time_seconds");
  EXPECT_NEAR(started, static_cast<double>(std::time(nullptr)), 60.0);

  TestClient last(kServerPort);  // takes the descriptor the scrape gave back
  ASSERT_EQ(last.exchange("SHAKE\r\n"), "OK\r\n");
  TestClient token_pending(kServerPort);
  ASSERT_TRUE(server.wait_for_stderr("accept: Too many open files\n"));
  TestClient http_pending(kMetricsPort);
  long long before = server.cpu_ticks();
  std::this_thread::sleep_for(std::chrono::seconds(1));
  EXPECT_LE(server.cpu_ticks() - before, kPausedAcceptorTicks);

  for (int i = 0; i < 4; ++i) held[i]->close();
  http_pending.close();
  EXPECT_EQ(token_pending.exchange("SHAKE\r\n"), "OK\r\n");
  HttpReply after = http_get(kMetricsPort, "/metrics");
  ASSERT_EQ(after.status, 200);
  for (const char* port : {"6666", "9666"}) {
    EXPECT_GE(sample_value(after.body, std::string("token_server_accept_errors_total{port=\"") +
                                           port + "\",reason=\"emfile\"}"),
              1)
        << port;
  }
}

// Fifty idle connections hold every worker. A connection that waits for one makes /healthz
// answer 503 once it has waited about kWorkerStallLimit with no worker getting on; once the idle
// ones have idled kIdleGiveUp, one of them, and only one, gives its worker up to it, which the
// metrics and the spell's closing line count.
TEST(Metrics, IdleConnectionGivesItsWorkerUpToOneThatWaitsAndHealthTells) {
  ServerProcess server;
  ASSERT_TRUE(server.listening());
  // Before the first of them is served: the server counts each one idle from its own reply, and
  // serving fifty takes a while on a loaded machine or under a sanitizer.
  auto idle_since = Clock::now();
  Clients idle = served_clients(kWorkerCount, kServerPort);
  TestClient waiting(kServerPort);
  ASSERT_TRUE(waiting.send("SHAKE\r\n"));
  HttpReply health;
  while ((health = http_get(kMetricsPort, "/healthz")).status == 200 &&
         Clock::now() < idle_since + kIdleGiveUp) {
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
  }
  EXPECT_EQ(health.status, 503);
  EXPECT_EQ(health.body, "workers stalled");
  EXPECT_GE(Clock::now() - idle_since, kWorkerStallLimit - std::chrono::milliseconds(500));

  EXPECT_EQ(waiting.read_line(kIdleGiveUp + std::chrono::seconds(5)), "OK\r\n");
  EXPECT_GE(Clock::now() - idle_since, kIdleGiveUp);
  EXPECT_EQ(http_get(kMetricsPort, "/healthz").status, 200);
  int closed = 0;
  for (auto& client : idle) closed += client->closed_within(std::chrono::milliseconds(20)) ? 1 : 0;
  EXPECT_EQ(closed, 1);
  EXPECT_EQ(sample_value(http_get(kMetricsPort, "/metrics").body,
                         "token_server_idle_connections_closed_total"),
            1);
  ASSERT_TRUE(server.wait_for_stderr(" ms, 1 idle connection closed\n"));
  std::string errors = server.stderr_text();
  EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 2) << errors;
}

TEST(Metrics, HeldPortLeavesTheTokenPortServing) {
  PortLock lock;
  UniqueFd holder(TokenServer::open_listening_socket(kMetricsPort, 1));
  ASSERT_GE(holder.get(), 0);
  ServerProcess server;
  ASSERT_TRUE(server.listening());
  const std::string line = "metrics port 9666: Address already in use; serving without metrics\n";
  ASSERT_TRUE(server.wait_for_stderr(line));
  TestClient client(kServerPort);
  EXPECT_EQ(client.exchange("SHAKE\r\n"), "OK\r\n");
  EXPECT_EQ(server.stop(SIGTERM), 0);
  EXPECT_EQ(server.stderr_text(), line);
}

// In process, where a stop can be begun and the endpoint asked before the server is gone.
TEST(Metrics, PagesByPathAndMethodAndHealthDuringAStop) {
  InProcessServer server(2, 0);
  uint16_t port = server.metrics_port();
  ASSERT_NE(port, 0);
  struct Row {
    const char* method;
    const char* target;
    int status;
    const char* body;
  };
  for (const Row& row :
       {Row{"GET", "/healthz", 200, "ok"}, Row{"HEAD", "/healthz", 200, ""},
        Row{"GET", "/healthz?verbose=1", 200, "ok"}, Row{"GET", "/", 404, "not found"},
        Row{"GET", "/metrics/", 404, "not found"},
        Row{"POST", "/metrics", 405, "method not allowed"},
        Row{"DELETE", "/healthz", 405, "method not allowed"},
        Row{"POST", "/elsewhere", 404, "not found"}, Row{"HEAD", "/metrics", 200, ""}}) {
    HttpReply reply = http_request(port, row.method, row.target);
    EXPECT_EQ(reply.status, row.status) << row.method << " " << row.target;
    EXPECT_EQ(reply.body, row.body) << row.method << " " << row.target;
  }
  server.server().request_stop();
  HttpReply health = http_get(port, "/healthz");
  EXPECT_EQ(health.status, 503);
  EXPECT_EQ(health.body, "stopping");
  EXPECT_EQ(http_get(port, "/metrics").status, 200);
}

}  // namespace

}  // namespace token_server
