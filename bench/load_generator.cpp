// Closed-loop load generator for the token server and the baseline server, over loopback only.
//
// N persistent connections each keep exactly one request in flight: every reply is checked,
// timed and answered at once by the next request. In connect mode each of N slots instead
// opens a new connection per request, sends it, reads the reply and closes first (so the
// client's side, not the server's, keeps the TIME_WAIT), then opens the next. One or two threads
// drive the connections with epoll, so the generator stays cheap next to the server it measures
// on the same cores. After a warm-up it counts the replies of a measured window and reads the
// server's processor time from /proc/PID/stat at both ends of that window; with
// --count-syscalls it also counts the server's system calls over that window (perf stat). With
// --scrape-interval-ms a thread of its own fetches the server's /metrics at that interval for the
// whole run, as Prometheus would. The run ends by itself after the window (or on Ctrl-C, with
// what was measured so far).
//
// Output: a progress line while stdout is a terminal, a short report, and as the last line one
// summary of key=value pairs for scripts. Exit status: 0, 1 for a usage or connect failure, 2
// when any reply was wrong or missing or a scrape failed, 130 when interrupted.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench/load_protocol.h"
#include "bench/syscall_counter.h"
#include "harness/loopback.h"
#include "harness/proc_stat.h"
#include "protocol/token_connection.h"
#include "server/TokenServer.h"

namespace {

using token_server::kConnectionBufferSize;
using token_server::kHandshakeReply;
using token_server::kHeartbeatLine;
using token_server::kMetricsPort;
using token_server::kReplyBufferSize;
using token_server::kServerPort;
using token_server::loopback_address;
using token_server::process_cpu_ticks;
using token_server::send_all;

constexpr int kMaxThreads = 2;
constexpr int kMaxConnections = 1000;
constexpr double kMaxSeconds = 600;
constexpr int kPrefillBatch = 100;  // entries per request while creating every key's bucket
constexpr int kEpollBatch = 64;
constexpr int kTimeoutScanMillis = 100;
constexpr size_t kReservedLatencies = 1 << 20;  // per thread; more only past ~1M replies
constexpr int64_t kNanosPerSecond = 1'000'000'000;
constexpr double kMicrosPerSecond = 1e6;
// The load goes on this long past the window, so that the window ends under the same load it
// began with and counters read at its end see no connections winding down.
constexpr double kTailSeconds = 0.05;
constexpr int kExitUsage = 1;
constexpr int kExitReplyErrors = 2;
constexpr int kExitInterrupted = 130;

enum class Mode { kTokens, kHandshake, kConnect, kIdle };

struct Options {
  uint16_t port = kServerPort;
  Mode mode = Mode::kTokens;
  int connections = 1;
  int threads = 1;
  double seconds = 3;
  double warmup = 0.5;
  int entries = 1;
  long keys = 1000;
  EntryNumbers numbers;
  pid_t server_pid = 0;
  std::string fixed_reply;  // when set, every reply must be this line (the baseline's answer)
  bool prefill = false;
  bool detail = false;  // token requests ask for "detail"
  bool count_syscalls = false;
  int timeout_millis = 5000;
  uint64_t seed = 1;
  int scrape_interval_millis = 0;  // 0: no scrapes
  uint16_t metrics_port = kMetricsPort;
};

std::atomic<bool> interrupted{false};

extern "C" void note_interrupt(int) { interrupted.store(true); }

int64_t now_nanos() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * kNanosPerSecond + now.tv_nsec;
}

const char* mode_name(Mode mode) {
  constexpr const char* kNames[] = {"tokens", "handshake", "connect", "idle"};  // by Mode
  return kNames[static_cast<int>(mode)];
}

// ---- command line

[[noreturn]] void usage(const std::string& problem) {
  if (!problem.empty()) std::fprintf(stderr, "load_generator: %s\n", problem.c_str());
  std::fprintf(stderr,
               "usage: load_generator [--port P] [--mode tokens|handshake|connect|idle]\n"
               "         [--connections N] [--threads 1|2] [--seconds S] [--warmup S]\n"
               "         [--entries E] [--keys K] [--need N] [--rate R] [--burst B]\n"
               "         [--server-pid PID] [--count-syscalls] [--prefill] [--detail]\n"
               "         [--fixed-reply TEXT] [--timeout-ms MS] [--seed N]\n"
               "         [--scrape-interval-ms MS] [--metrics-port P]\n"
               "Traffic goes to 127.0.0.1 only. connect mode opens a new connection for each\n"
               "token request over N slots. --fixed-reply checks every reply against one line\n"
               "(the baseline server's); --prefill creates every key's bucket first.\n"
               "--detail asks for the remaining tokens and the wait in every reply entry.\n"
               "--count-syscalls counts the system calls of --server-pid over the window with\n"
               "perf stat (root, or a permissive perf_event_paranoid).\n"
               "--scrape-interval-ms fetches /metrics from --metrics-port (9666) every MS ms\n"
               "during the run, each time on a new connection; a failed fetch is an error.\n");
  std::exit(kExitUsage);
}

long long parse_integer(const std::string& name, const char* text, long long low, long long high) {
  char* end = nullptr;
  errno = 0;
  long long value = std::strtoll(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value < low || value > high) {
    usage(name + " must be an integer from " + std::to_string(low) + " to " + std::to_string(high));
  }
  return value;
}

double parse_seconds(const std::string& name, const char* text) {
  char* end = nullptr;
  double value = std::strtod(text, &end);
  if (end == text || *end != '\0' || !(value >= 0 && value <= kMaxSeconds)) {
    usage(name + " must be a number of seconds from 0 to " + std::to_string(kMaxSeconds));
  }
  return value;
}

Mode parse_mode(const std::string& text) {
  if (text == "tokens") return Mode::kTokens;
  if (text == "handshake") return Mode::kHandshake;
  if (text == "connect") return Mode::kConnect;
  if (text == "idle") return Mode::kIdle;
  usage("unknown mode " + text);
}

Options parse_options(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    std::string name = argv[i];
    if (name == "--help") usage("");
    if (name == "--prefill") {
      options.prefill = true;
      continue;
    }
    if (name == "--detail") {
      options.detail = true;
      continue;
    }
    if (name == "--count-syscalls") {
      options.count_syscalls = true;
      continue;
    }
    if (i + 1 >= argc) usage(name + " needs a value");
    const char* value = argv[++i];
    if (name == "--port") {
      options.port = static_cast<uint16_t>(parse_integer(name, value, 1, 65535));
    } else if (name == "--mode") {
      options.mode = parse_mode(value);
    } else if (name == "--connections") {
      options.connections = static_cast<int>(parse_integer(name, value, 1, kMaxConnections));
    } else if (name == "--threads") {
      options.threads = static_cast<int>(parse_integer(name, value, 1, kMaxThreads));
    } else if (name == "--seconds") {
      options.seconds = parse_seconds(name, value);
    } else if (name == "--warmup") {
      options.warmup = parse_seconds(name, value);
    } else if (name == "--entries") {
      options.entries = static_cast<int>(parse_integer(name, value, 1, kPrefillBatch));
    } else if (name == "--keys") {
      options.keys = static_cast<long>(parse_integer(name, value, 1, kMaxKeySpace));
    } else if (name == "--need") {
      options.numbers.need = static_cast<int>(parse_integer(name, value, 0, INT32_MAX));
    } else if (name == "--rate") {
      options.numbers.rate = static_cast<int>(parse_integer(name, value, 1, INT32_MAX));
    } else if (name == "--burst") {
      options.numbers.burst = static_cast<int>(parse_integer(name, value, 1, INT32_MAX));
    } else if (name == "--server-pid") {
      options.server_pid = static_cast<pid_t>(parse_integer(name, value, 1, INT32_MAX));
    } else if (name == "--fixed-reply") {
      options.fixed_reply = std::string(value) + "\r\n";
    } else if (name == "--timeout-ms") {
      options.timeout_millis = static_cast<int>(parse_integer(name, value, 1, 600'000));
    } else if (name == "--seed") {
      options.seed = static_cast<uint64_t>(parse_integer(name, value, 0, INT64_MAX));
    } else if (name == "--scrape-interval-ms") {
      options.scrape_interval_millis = static_cast<int>(parse_integer(name, value, 1, 600'000));
    } else if (name == "--metrics-port") {
      options.metrics_port = static_cast<uint16_t>(parse_integer(name, value, 1, 65535));
    } else {
      usage("unknown option " + name);
    }
  }
  if (options.seconds <= 0) usage("--seconds must be more than 0");
  if (options.count_syscalls && options.server_pid == 0)
    usage("--count-syscalls needs --server-pid");
  return options;
}

// ---- processor time

// User plus system time of a whole process, in microseconds; nullopt when it cannot be read.
std::optional<double> process_cpu_micros(pid_t pid) {
  std::optional<long long> ticks = process_cpu_ticks(pid);
  if (!ticks) return std::nullopt;
  return static_cast<double>(*ticks) * kMicrosPerSecond / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double own_cpu_micros() {
  rusage usage = {};
  getrusage(RUSAGE_SELF, &usage);
  auto micros = [](const timeval& time) {
    return static_cast<double>(time.tv_sec) * kMicrosPerSecond + static_cast<double>(time.tv_usec);
  };
  return micros(usage.ru_utime) + micros(usage.ru_stime);
}

// ---- connections

// A TCP socket to 127.0.0.1:port with Nagle off. A non-blocking one (SOCK_NONBLOCK in `flags`)
// may still be connecting when this returns; writes wait for it through EPOLLOUT. -1 on failure.
int connect_loopback(uint16_t port, int flags) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | flags, 0);
  if (fd < 0) return -1;
  sockaddr_in address = loopback_address(port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 &&
      errno != EINPROGRESS) {
    ::close(fd);
    return -1;
  }
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

// One slot with at most one request in flight: a persistent connection, or in connect mode a
// new connection for each request. Owned and used by one thread.
class Connection {
 public:
  // `fd` is the persistent connection; -1 in connect mode, where each request opens its own.
  Connection(int fd, const Options& options, uint64_t seed)
      : fd_(fd),
        options_(options),
        picker_(seed),
        request_(options.mode == Mode::kHandshake ? 0 : options.entries, options.numbers,
                 options.detail) {}
  ~Connection() { close_socket(); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  int fd() const { return fd_; }
  // Whether the slot still runs: it stops for good on its first failure.
  bool active() const { return active_; }
  bool in_flight() const { return in_flight_; }
  int64_t sent_at() const { return sent_at_; }
  // Whether epoll watches the socket for room to write (see LoadThread::watch_output).
  bool output_watched = false;

  void close_socket() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    in_flight_ = false;
    output_watched = false;
  }
  void retire() {
    close_socket();
    active_ = false;
  }
  // In connect mode the client closes first, after each reply.
  void finish_request() {
    if (options_.mode == Mode::kConnect) close_socket();
  }

  // Picks new keys and starts sending the next request, in connect mode on a new connection.
  // False when the connection failed.
  bool start_request(int64_t now) {
    if (options_.mode != Mode::kHandshake) {
      for (int entry = 0; entry < request_.entries(); ++entry) {
        request_.set_key(entry, picker_.pick(options_.keys));
      }
    }
    sent_ = 0;
    received_ = 0;
    sent_at_ = now;
    in_flight_ = true;
    if (options_.mode == Mode::kConnect) {
      fd_ = connect_loopback(options_.port, SOCK_NONBLOCK);
      if (fd_ < 0) return false;
    }
    return send_more();
  }

  // Sends what the socket takes of the current request; false when the connection failed.
  bool send_more() {
    std::string_view bytes = request_bytes();
    while (sent_ < bytes.size()) {
      ssize_t written =
          ::send(fd_, bytes.data() + sent_, bytes.size() - sent_, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (written > 0) {
        sent_ += static_cast<size_t>(written);
      } else if (written < 0 && errno == EINTR) {
        continue;
      } else {
        return written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
      }
    }
    return true;
  }
  bool fully_sent() const { return sent_ == request_bytes().size(); }

  enum class Reply { kPending, kValid, kInvalid, kFailed };

  // Receives what has arrived; says whether the reply is complete and right.
  Reply receive() {
    size_t checked = received_;
    for (;;) {
      ssize_t got = ::recv(fd_, reply_ + received_, sizeof reply_ - received_, MSG_DONTWAIT);
      if (got > 0) {
        received_ += static_cast<size_t>(got);
        break;
      }
      if (got < 0 && errno == EINTR) continue;
      if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Reply::kPending;
      return Reply::kFailed;  // closed by the server or failed
    }
    std::string_view held(reply_, received_);
    size_t length = line_length(held, checked);
    if (length == 0) return received_ == sizeof reply_ ? Reply::kInvalid : Reply::kPending;
    in_flight_ = false;
    // One request is in flight, so nothing may follow its reply.
    return length == received_ && is_expected_reply(held) ? Reply::kValid : Reply::kInvalid;
  }

 private:
  std::string_view request_bytes() const {
    if (options_.mode == Mode::kHandshake) return std::string_view(kHeartbeatLine);
    return request_.text();
  }

  bool is_expected_reply(std::string_view reply) const {
    if (!options_.fixed_reply.empty()) return reply == options_.fixed_reply;
    if (options_.mode == Mode::kHandshake) return reply == std::string_view(kHandshakeReply);
    return is_valid_token_reply(reply, request_, options_.numbers.need);
  }

  int fd_;
  const Options& options_;
  KeyPicker picker_;
  TokenRequestText request_;
  size_t sent_ = 0;
  char reply_[kReplyBufferSize];
  size_t received_ = 0;
  int64_t sent_at_ = 0;
  bool in_flight_ = false;
  bool active_ = true;
};

// ---- the measured window and the threads that drive the connections

struct Window {
  int64_t start;  // monotonic ns; replies before it are warm-up
  int64_t end;    // replies from here on are not measured
  int64_t stop;   // the load stops here, a little after `end`
};

// What one thread counted; read by the main thread after the join (`progress` also during).
struct ThreadResult {
  std::vector<uint32_t> latencies_ns;  // replies completed within the window
  uint64_t errors = 0;
  std::atomic<uint64_t> progress{0};  // replies completed so far, warm-up included
};

class LoadThread {
 public:
  LoadThread(std::vector<std::unique_ptr<Connection>> connections, const Options& options,
             Window window)
      : connections_(std::move(connections)), options_(options), window_(window) {
    result_.latencies_ns.reserve(kReservedLatencies);
  }

  ThreadResult& result() { return result_; }

  void run() {
    epoll_fd_ = epoll_create1(EPOLL_CLOEXEC);
    int64_t now = now_nanos();
    for (auto& connection : connections_) {
      if (connection->fd() >= 0) watch(connection.get(), EPOLL_CTL_ADD);
      begin_request(connection.get(), now);
    }
    int64_t next_timeout_scan = now;
    while ((now = now_nanos()) < window_.stop && !interrupted.load(std::memory_order_relaxed) &&
           active_connections_ > 0) {
      poll_once(now);
      if (now >= next_timeout_scan) {
        drop_timed_out(now);
        next_timeout_scan = now + kTimeoutScanMillis * (kNanosPerSecond / 1000);
      }
    }
    ::close(epoll_fd_);
  }

 private:
  void poll_once(int64_t now) {
    epoll_event events[kEpollBatch];
    int wait_millis = static_cast<int>(
        std::min<int64_t>((window_.stop - now) / (kNanosPerSecond / 1000) + 1, kTimeoutScanMillis));
    int ready = epoll_wait(epoll_fd_, events, kEpollBatch, wait_millis);
    for (int i = 0; i < ready; ++i) {
      auto* connection = static_cast<Connection*>(events[i].data.ptr);
      if (!connection->active()) continue;
      if ((events[i].events & EPOLLOUT) && !connection->fully_sent()) {
        if (!connection->send_more()) fail(connection);
        watch_output(connection);
      }
      if (connection->active() && (events[i].events & (EPOLLIN | EPOLLERR | EPOLLHUP))) {
        handle_input(connection);
      }
    }
  }

  void handle_input(Connection* connection) {
    Connection::Reply reply = connection->receive();
    if (reply == Connection::Reply::kPending) return;
    if (reply == Connection::Reply::kFailed) {
      fail(connection);
      return;
    }
    int64_t now = now_nanos();
    if (reply == Connection::Reply::kInvalid) ++result_.errors;
    if (reply == Connection::Reply::kValid && now >= window_.start && now < window_.end) {
      int64_t latency = now - connection->sent_at();
      result_.latencies_ns.push_back(static_cast<uint32_t>(std::min<int64_t>(latency, UINT32_MAX)));
    }
    result_.progress.fetch_add(1, std::memory_order_relaxed);
    connection->finish_request();
    if (now >= window_.stop) return;
    begin_request(connection, now);
  }

  // Starts the slot's next request; a new connection (connect mode) joins the epoll set here.
  void begin_request(Connection* connection, int64_t now) {
    bool reconnects = connection->fd() < 0;
    if (!connection->start_request(now)) {
      fail(connection);
      return;
    }
    if (reconnects) {
      connection->output_watched = !connection->fully_sent();
      watch(connection, EPOLL_CTL_ADD);
    } else {
      watch_output(connection);
    }
  }

  // Asks for EPOLLOUT only while a request waits for room in the socket.
  void watch_output(Connection* connection) {
    if (!connection->active()) return;
    bool wants_output = !connection->fully_sent();
    if (wants_output == connection->output_watched) return;
    connection->output_watched = wants_output;
    watch(connection, EPOLL_CTL_MOD);
  }

  void watch(Connection* connection, int operation) {
    epoll_event event = {};
    event.events = EPOLLIN | (connection->output_watched ? EPOLLOUT : 0u);
    event.data.ptr = connection;
    epoll_ctl(epoll_fd_, operation, connection->fd(), &event);
  }

  void fail(Connection* connection) {
    if (!connection->active()) return;
    connection->retire();
    ++result_.errors;
    --active_connections_;
  }

  void drop_timed_out(int64_t now) {
    int64_t limit = static_cast<int64_t>(options_.timeout_millis) * (kNanosPerSecond / 1000);
    for (auto& connection : connections_) {
      if (connection->in_flight() && now - connection->sent_at() > limit) fail(connection.get());
    }
  }

  std::vector<std::unique_ptr<Connection>> connections_;
  const Options& options_;
  Window window_;
  ThreadResult result_;
  int epoll_fd_ = -1;
  int active_connections_ = static_cast<int>(connections_.size());
};

// ---- scrapes of the metrics endpoint

// Fetches /metrics once, on a new connection; whether a whole 200 answer came.
bool scrape_metrics(const Options& options) {
  int fd = connect_loopback(options.metrics_port, 0);
  if (fd < 0) return false;
  timeval limit = {options.timeout_millis / 1000, (options.timeout_millis % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  std::string answer;
  if (send_all(fd, "GET /metrics HTTP/1.0\r\n\r\n")) {
    char buffer[kConnectionBufferSize];
    ssize_t got;
    while ((got = ::recv(fd, buffer, sizeof buffer, 0)) > 0) {
      answer.append(buffer, static_cast<size_t>(got));
    }
  }
  ::close(fd);
  return answer.rfind("HTTP/1.1 200 ", 0) == 0 &&
         answer.find("\ntoken_server_build_info{") != std::string::npos;
}

struct ScrapeResult {
  uint64_t scrapes = 0;  // whole answers
  uint64_t errors = 0;
};

// Scrapes every scrape_interval_millis from now until `stop` (monotonic ns).
void run_scrapes(const Options& options, int64_t stop, ScrapeResult* result) {
  int64_t interval =
      static_cast<int64_t>(options.scrape_interval_millis) * (kNanosPerSecond / 1000);
  for (int64_t next = now_nanos(); next < stop && !interrupted.load(); next += interval) {
    int64_t wait = next - now_nanos();
    if (wait > 0) {
      timespec pause = {static_cast<time_t>(wait / kNanosPerSecond),
                        static_cast<long>(wait % kNanosPerSecond)};
      nanosleep(&pause, nullptr);
    }
    if (scrape_metrics(options)) {
      ++result->scrapes;
    } else {
      ++result->errors;
    }
  }
}

// ---- set-up

// A blocking connection, or the end of the run when there is none to be had.
int connect_or_exit(const Options& options, const std::vector<int>& opened) {
  int fd = connect_loopback(options.port, 0);
  if (fd >= 0) return fd;
  std::fprintf(stderr, "load_generator: connect to 127.0.0.1:%u: %s\n", options.port,
               std::strerror(errno));
  for (int open_fd : opened) ::close(open_fd);
  std::exit(kExitUsage);
}

// The persistent connections, one per slot; in connect mode each slot starts with none (-1).
std::vector<int> open_connections(const Options& options) {
  std::vector<int> fds;
  for (int i = 0; i < options.connections; ++i) {
    fds.push_back(options.mode == Mode::kConnect ? -1 : connect_or_exit(options, fds));
  }
  return fds;
}

// Reads one line on a blocking socket whose receives time out; empty on failure.
std::string read_line(int fd) {
  std::string line;
  char buffer[kConnectionBufferSize];
  while (line_length(line, 0) == 0) {
    ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return {};
    line.append(buffer, static_cast<size_t>(got));
  }
  return line;
}

// Sends the requests that create every key's bucket, a batch at a time, and checks each reply.
bool send_prefill_requests(int fd, const Options& options) {
  timeval limit = {options.timeout_millis / 1000, (options.timeout_millis % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  for (long first = 0; first < options.keys; first += kPrefillBatch) {
    int batch = static_cast<int>(std::min<long>(kPrefillBatch, options.keys - first));
    TokenRequestText request(batch, options.numbers);
    for (int entry = 0; entry < batch; ++entry) request.set_key(entry, first + entry);
    if (!send_all(fd, request.text())) return false;
    std::string reply = read_line(fd);
    bool valid = options.fixed_reply.empty()
                     ? is_valid_token_reply(reply, request, options.numbers.need)
                     : reply == options.fixed_reply;
    if (!valid) return false;
  }
  return true;
}

// Gives every key of the key space its bucket, so that the window measures draws, not inserts.
// Uses a connection of its own, closed before the load starts.
bool prefill_keys(const Options& options) {
  int fd = connect_or_exit(options, {});
  bool filled = send_prefill_requests(fd, options);
  ::close(fd);
  return filled;
}

std::vector<std::unique_ptr<LoadThread>> make_threads(const std::vector<int>& fds,
                                                      const Options& options, Window window) {
  std::vector<std::vector<std::unique_ptr<Connection>>> shares(
      static_cast<size_t>(options.threads));
  for (size_t i = 0; i < fds.size(); ++i) {
    shares[i % shares.size()].push_back(
        std::make_unique<Connection>(fds[i], options, options.seed * 7919 + i + 1));
  }
  std::vector<std::unique_ptr<LoadThread>> threads;
  for (auto& share : shares) {
    threads.push_back(std::make_unique<LoadThread>(std::move(share), options, window));
  }
  return threads;
}

// ---- the run and its report

struct Measurement {
  double window_seconds = 0;
  std::optional<double> server_cpu_micros;
  double client_cpu_micros = 0;
  std::optional<SyscallCounts> syscalls;  // the server's, over the window, when counted
  uint64_t syscall_replies = 0;           // replies completed while system calls were counted
};

uint64_t replies_so_far(const std::vector<std::unique_ptr<LoadThread>>& threads) {
  uint64_t replies = 0;
  for (auto& thread : threads) replies += thread->result().progress.load();
  return replies;
}

// Sleeps until `deadline`, drawing the progress line on a terminal; false when interrupted.
bool wait_until(int64_t deadline, const char* phase,
                const std::vector<std::unique_ptr<LoadThread>>& threads) {
  bool terminal = isatty(STDOUT_FILENO);
  while (!interrupted.load()) {
    int64_t now = now_nanos();
    if (now >= deadline) return true;
    int64_t step = std::min<int64_t>(deadline - now, kNanosPerSecond / 4);
    timespec pause = {0, static_cast<long>(step)};
    nanosleep(&pause, nullptr);
    if (!terminal) continue;
    std::printf("\r%-8s %6.1f s to go, %llu replies      ", phase,
                static_cast<double>(deadline - now_nanos()) / kNanosPerSecond,
                static_cast<unsigned long long>(replies_so_far(threads)));
    std::fflush(stdout);
  }
  return false;
}

// Runs the window: samples processor times at its start and end while the threads work, and
// counts the server's system calls between the same instants when `syscalls` is given. Those
// are divided by the replies completed between perf's acknowledgements, so the two coincide but
// for the requests in flight at either end.
Measurement measure_window(const Options& options, Window window,
                           const std::vector<std::unique_ptr<LoadThread>>& threads,
                           SyscallCounter* syscalls) {
  Measurement measurement;
  if (!wait_until(window.start, "warm-up", threads)) return measurement;
  bool counting = syscalls != nullptr && syscalls->enable();
  uint64_t counted_from = replies_so_far(threads);
  std::optional<double> server_start;
  if (options.server_pid > 0) server_start = process_cpu_micros(options.server_pid);
  double client_start = own_cpu_micros();
  int64_t measured_from = now_nanos();
  wait_until(window.end, "measure", threads);
  int64_t measured_to = std::min(now_nanos(), window.end);
  if (server_start) {
    std::optional<double> server_end = process_cpu_micros(options.server_pid);
    if (server_end) measurement.server_cpu_micros = *server_end - *server_start;
  }
  measurement.client_cpu_micros = own_cpu_micros() - client_start;
  measurement.window_seconds = static_cast<double>(measured_to - measured_from) / kNanosPerSecond;
  if (counting && syscalls->disable()) {
    measurement.syscall_replies = replies_so_far(threads) - counted_from;
    measurement.syscalls = syscalls->finish();
  }
  if (isatty(STDOUT_FILENO)) std::printf("\r%60s\r", "");
  return measurement;
}

// The server's system calls per reply (in all when there was none, as with idle connections):
// a line for people, with the calls it made, and summary fields with every call counted
// ("syscalls_all_per_req" being the total).
void describe_syscalls(const SyscallCounts& counts, uint64_t replies, std::string* line,
                       std::string* fields) {
  double divisor = static_cast<double>(std::max<uint64_t>(replies, 1));
  char text[64];
  if (replies == 0) {
    *line = "in all, no requests:";
  } else {
    std::snprintf(text, sizeof text,
                  "per request over %llu requests:", static_cast<unsigned long long>(replies));
    *line = text;
  }
  std::snprintf(text, sizeof text, " syscall_requests=%llu",
                static_cast<unsigned long long>(replies));
  *fields = text;
  for (const auto& [name, count] : counts_by_call(counts)) {
    double per_reply = static_cast<double>(count) / divisor;
    int length = static_cast<int>(name.size());
    std::snprintf(text, sizeof text, " syscalls_%.*s_per_req=%.3f", length, name.data(), per_reply);
    *fields += text;
    if (count == 0) continue;
    std::snprintf(text, sizeof text, " %.*s %.3f", length, name.data(), per_reply);
    *line += text;
  }
}

std::string per_request(std::optional<double> micros, uint64_t requests) {
  if (!micros || requests == 0) return "NA";
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", *micros / static_cast<double>(requests));
  return text;
}

void report(const Options& options, const Measurement& measurement, uint64_t requests,
            uint64_t errors, const LatencySummary& latency, const ScrapeResult& scrapes) {
  double rps = measurement.window_seconds > 0
                   ? static_cast<double>(requests) / measurement.window_seconds
                   : 0;
  std::string server_per_request = per_request(measurement.server_cpu_micros, requests);
  std::string client_per_request = per_request(measurement.client_cpu_micros, requests);
  std::string server_total = measurement.server_cpu_micros
                                 ? std::to_string(std::lround(*measurement.server_cpu_micros))
                                 : "NA";
  std::printf("%s: %d connections, %d entries per request, %ld keys, %.2f s measured\n",
              mode_name(options.mode), options.connections, options.entries, options.keys,
              measurement.window_seconds);
  std::printf("  requests/s  %.0f  (%llu replies, %llu errors)\n", rps,
              static_cast<unsigned long long>(requests), static_cast<unsigned long long>(errors));
  std::printf("  latency us  p50 %.1f  p90 %.1f  p99 %.1f  max %.1f\n", latency.p50, latency.p90,
              latency.p99, latency.max);
  std::printf("  server CPU  %s us in all, %s us per request\n", server_total.c_str(),
              server_per_request.c_str());
  std::printf("  client CPU  %s us per request\n", client_per_request.c_str());
  char scrape_fields[96] = "";
  if (options.scrape_interval_millis > 0) {
    std::printf("  scrapes     %llu of /metrics, every %d ms (%llu failed)\n",
                static_cast<unsigned long long>(scrapes.scrapes), options.scrape_interval_millis,
                static_cast<unsigned long long>(scrapes.errors));
    std::snprintf(scrape_fields, sizeof scrape_fields,
                  " scrape_interval_ms=%d scrapes=%llu scrape_errors=%llu",
                  options.scrape_interval_millis, static_cast<unsigned long long>(scrapes.scrapes),
                  static_cast<unsigned long long>(scrapes.errors));
  }
  std::string syscall_line;
  std::string syscall_fields;
  if (measurement.syscalls) {
    describe_syscalls(*measurement.syscalls, measurement.syscall_replies, &syscall_line,
                      &syscall_fields);
    std::printf("  syscalls    %s\n", syscall_line.c_str());
  }
  std::printf(
      "mode=%s connections=%d threads=%d entries=%d keys=%ld window_s=%.3f requests=%llu "
      "rps=%.1f p50_us=%.1f p90_us=%.1f p99_us=%.1f max_us=%.1f errors=%llu server_cpu_us=%s "
      "server_cpu_us_per_req=%s client_cpu_us_per_req=%s%s%s\n",
      mode_name(options.mode), options.connections, options.threads, options.entries, options.keys,
      measurement.window_seconds, static_cast<unsigned long long>(requests), rps, latency.p50,
      latency.p90, latency.p99, latency.max, static_cast<unsigned long long>(errors),
      server_total.c_str(), server_per_request.c_str(), client_per_request.c_str(),
      syscall_fields.c_str(), scrape_fields);
  std::fflush(stdout);
}

void install_interrupt_handler() {
  struct sigaction action = {};
  action.sa_handler = note_interrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  Options options = parse_options(argc, argv);
  install_interrupt_handler();
  bool sends_tokens = options.mode == Mode::kTokens || options.mode == Mode::kConnect;
  if (options.prefill && sends_tokens && !prefill_keys(options)) {
    std::fprintf(stderr, "load_generator: creating the keys' buckets failed\n");
    return kExitReplyErrors;
  }
  std::vector<int> fds = open_connections(options);
  // perf attaches before the warm-up starts, so that its start-up disturbs no measured instant.
  std::unique_ptr<SyscallCounter> syscalls;
  if (options.count_syscalls) {
    syscalls = std::make_unique<SyscallCounter>();
    if (!syscalls->start(options.server_pid)) syscalls.reset();
  }
  int64_t start = now_nanos() + static_cast<int64_t>(options.warmup * kNanosPerSecond);
  int64_t end = start + static_cast<int64_t>(options.seconds * kNanosPerSecond);
  Window window = {start, end, end + static_cast<int64_t>(kTailSeconds * kNanosPerSecond)};

  std::vector<std::unique_ptr<LoadThread>> threads;
  if (options.mode != Mode::kIdle) threads = make_threads(fds, options, window);
  std::vector<std::thread> running;
  for (auto& thread : threads) running.emplace_back(&LoadThread::run, thread.get());
  ScrapeResult scrapes;
  if (options.scrape_interval_millis > 0) {
    running.emplace_back(run_scrapes, std::cref(options), window.stop, &scrapes);
  }
  Measurement measurement = measure_window(options, window, threads, syscalls.get());
  for (std::thread& thread : running) thread.join();
  if (options.mode == Mode::kIdle) {
    for (int fd : fds) ::close(fd);
  }
  if (options.count_syscalls && !measurement.syscalls) {
    std::fprintf(stderr, "load_generator: the server's system calls could not be counted\n");
  }

  std::vector<uint32_t> latencies;
  uint64_t errors = 0;
  for (auto& thread : threads) {
    auto& counted = thread->result().latencies_ns;
    latencies.insert(latencies.end(), counted.begin(), counted.end());
    errors += thread->result().errors;
  }
  uint64_t requests = latencies.size();
  report(options, measurement, requests, errors, summarize_latencies(&latencies), scrapes);
  if (interrupted.load()) return kExitInterrupted;
  return errors + scrapes.errors > 0 ? kExitReplyErrors : 0;
}
