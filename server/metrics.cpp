// The metrics endpoint of TokenServer: starting it beside the token port, and the figures as
// Prometheus reads them (text format 0.0.4): the server's under the token_server_ prefix in base
// units, counters ending in _total, and the process's under their standard names.
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

#include "protocol/trace.h"
#include "server/TokenServer.h"
#include "server/health.h"
#include "server/metrics_http.h"

#ifndef TOKEN_SERVER_VERSION
#error "TOKEN_SERVER_VERSION must give the project's version"
#endif

namespace token_server {

namespace {

// Room for every connection the endpoint holds, come at once.
constexpr int kMetricsListenBacklog = static_cast<int>(kMetricsConnectionLimit);

// What the kernel tells about this process, for the standard process metrics.
struct ProcessFigures {
  uint64_t cpu_nanos = 0;  // user and system
  uint64_t resident_bytes = 0;
  uint64_t open_fds = 0;
  uint64_t max_fds = 0;
  uint64_t start_time_nanos = 0;  // since the Unix epoch
};

uint64_t nanos_of(const timeval& time) {
  return static_cast<uint64_t>(time.tv_sec) * kNanosPerSecond +
         static_cast<uint64_t>(time.tv_usec) * 1000;
}

uint64_t nanos_of(const timespec& time) {
  return static_cast<uint64_t>(time.tv_sec) * kNanosPerSecond + static_cast<uint64_t>(time.tv_nsec);
}

constexpr char kOwnDescriptors[] = "/proc/self/fd";
constexpr char kOwnMemory[] = "/proc/self/statm";

// Descriptors open now, the one that lists them included, as other exporters count them. Read
// through `listing`, a descriptor of /proc/self/fd kept open, so that the count needs no free
// descriptor: it is right when they have run out, as an operator then needs it.
uint64_t count_open_fds(int listing) {
  if (listing < 0 || ::lseek(listing, 0, SEEK_SET) != 0) return 0;
  uint64_t open = 0;
  alignas(dirent64) char entries[4096];
  for (ssize_t length; (length = ::getdents64(listing, entries, sizeof entries)) > 0;) {
    for (ssize_t at = 0; at < length;) {
      const auto* entry = reinterpret_cast<const dirent64*>(entries + at);
      open += entry->d_name[0] != '.' ? 1 : 0;
      at += entry->d_reclen;
    }
  }
  return open;
}

// Resident memory from /proc/self/statm, read through a descriptor kept open.
uint64_t resident_bytes(int statm) {
  char text[128] = {};
  if (statm < 0 || ::pread(statm, text, sizeof text - 1, 0) <= 0) return 0;
  uint64_t size_pages = 0;
  uint64_t resident_pages = 0;
  if (std::sscanf(text, "%" SCNu64 " %" SCNu64, &size_pages, &resident_pages) != 2) return 0;
  return resident_pages * static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
}

// Field `number` (1-based, as proc(5) numbers them) of /proc/self/stat, from field 3 on: they
// follow the command name, which may hold blanks and parentheses.
uint64_t own_stat_field(int number) {
  std::ifstream file("/proc/self/stat");
  std::string stat;
  std::getline(file, stat);
  size_t name_end = stat.rfind(')');
  if (name_end == std::string::npos) return 0;
  std::istringstream fields(stat.substr(name_end + 1));
  std::string field;
  for (int i = 3; i <= number; ++i) {
    if (!(fields >> field)) return 0;
  }
  return std::strtoull(field.c_str(), nullptr, 10);
}

// The start time in clock ticks after boot (field 22) placed on the wall clock through the
// boot-time clock, which counts from the same instant; /proc/stat's btime may be hidden.
uint64_t start_time_nanos() {
  constexpr int kStartTimeField = 22;
  uint64_t ticks_per_second = static_cast<uint64_t>(::sysconf(_SC_CLK_TCK));
  uint64_t ticks = own_stat_field(kStartTimeField);
  uint64_t started_after_boot = ticks / ticks_per_second * kNanosPerSecond +
                                ticks % ticks_per_second * kNanosPerSecond / ticks_per_second;
  timespec since_boot = {};
  timespec since_epoch = {};
  ::clock_gettime(CLOCK_BOOTTIME, &since_boot);
  ::clock_gettime(CLOCK_REALTIME, &since_epoch);
  return nanos_of(since_epoch) - (nanos_of(since_boot) - started_after_boot);
}

// Needs no free descriptor: the files it reads are open already, the start time known.
ProcessFigures process_figures(int open_fds_listing, int statm, uint64_t start_time_nanos) {
  ProcessFigures figures;
  rusage usage = {};
  ::getrusage(RUSAGE_SELF, &usage);
  figures.cpu_nanos = nanos_of(usage.ru_utime) + nanos_of(usage.ru_stime);
  figures.resident_bytes = resident_bytes(statm);
  figures.open_fds = count_open_fds(open_fds_listing);
  rlimit descriptors = {};
  ::getrlimit(RLIMIT_NOFILE, &descriptors);
  figures.max_fds = static_cast<uint64_t>(descriptors.rlim_cur);
  figures.start_time_nanos = start_time_nanos;
  return figures;
}

// Nanoseconds as seconds, exactly: "12.000345678".
std::string seconds_text(uint64_t nanos) {
  char text[32];
  std::snprintf(text, sizeof text, "%" PRIu64 ".%09" PRIu64, nanos / kNanosPerSecond,
                nanos % kNanosPerSecond);
  return text;
}

// The text of one exposition: each metric family's HELP and TYPE lines, then its samples.
class Exposition {
 public:
  void family(std::string_view name, std::string_view type, std::string_view help) {
    text_.append("# HELP ").append(name).append(" ").append(help).append("\n");
    text_.append("# TYPE ").append(name).append(" ").append(type).append("\n");
  }
  // `labels` is empty or `{name="value",...}`.
  void sample(std::string_view name, std::string_view labels, std::string_view value) {
    text_.append(name).append(labels).append(" ").append(value).append("\n");
  }
  void sample(std::string_view name, std::string_view labels, uint64_t value) {
    sample(name, labels, std::to_string(value));
  }
  // A family of one sample without labels.
  void single(std::string_view name, std::string_view type, std::string_view help, uint64_t value) {
    family(name, type, help);
    sample(name, "", value);
  }

  std::string take() { return std::move(text_); }

 private:
  std::string text_;
};

// The figures of the table, in its order; a state figure only while the state is kept, so that
// without STATE_DIRECTORY the page is as it always was.
void add_figures(Exposition* out, const Figures& figures) {
  std::string_view family;
  for (const FigureRow& row : kFigureRows) {
    if (row.metric == nullptr || !is_shown(row, figures)) continue;
    std::string_view metric = row.metric;
    size_t labels = std::min(metric.find('{'), metric.size());
    if (metric.substr(0, labels) != family) {
      family = metric.substr(0, labels);
      out->family(family, row.type, row.help);
    }
    uint64_t value = figures.*row.member;
    out->sample(family, metric.substr(labels),
                row.unit == FigureUnit::kNanos ? seconds_text(value) : std::to_string(value));
  }
}

void add_service_times(Exposition* out, const Figures& figures) {
  constexpr std::string_view kName = "token_server_request_duration_seconds";
  const std::string buckets = std::string(kName) + "_bucket";
  out->family(kName, "histogram",
              "Time from a request's last byte received to its reply sent, for the replies sent.");
  uint64_t cumulative = 0;
  for (size_t bucket = 0; bucket < std::size(kServiceTimeBoundsNanos); ++bucket) {
    cumulative += figures.service_times[bucket];
    char bound[64];
    std::snprintf(bound, sizeof bound, "{le=\"%g\"}",
                  static_cast<double>(kServiceTimeBoundsNanos[bucket]) / kNanosPerSecond);
    out->sample(buckets, bound, cumulative);
  }
  cumulative += figures.service_times[kServiceTimeBuckets - 1];
  out->sample(buckets, R"({le="+Inf"})", cumulative);
  out->sample(std::string(kName) + "_sum", "", seconds_text(figures.service_nanos));
  out->sample(std::string(kName) + "_count", "", cumulative);
}

void add_accept_errors(Exposition* out, const AcceptErrors& token_port,
                       const AcceptErrors& metrics_port) {
  constexpr std::string_view kName = "token_server_accept_errors_total";
  out->family(kName, "counter",
              "Accepts that failed for want of descriptors or memory, by port and reason (errno); "
              "accepting pauses after each.");
  for (const auto& [port, errors] :
       {std::pair{kServerPort, &token_port}, std::pair{kMetricsPort, &metrics_port}}) {
    for (size_t reason = 0; reason < kAcceptErrorReasonCount; ++reason) {
      std::string labels = "{port=\"" + std::to_string(port) + "\",reason=\"" +
                           kAcceptErrorReasons[reason].label + "\"}";
      out->sample(kName, labels, errors->of(reason));
    }
  }
}

void add_process_figures(Exposition* out, const ProcessFigures& process) {
  out->family("process_cpu_seconds_total", "counter", "User and system CPU time spent in seconds.");
  out->sample("process_cpu_seconds_total", "", seconds_text(process.cpu_nanos));
  out->single("process_resident_memory_bytes", "gauge", "Resident memory size in bytes.",
              process.resident_bytes);
  out->single("process_open_fds", "gauge", "Number of open file descriptors.", process.open_fds);
  out->single("process_max_fds", "gauge", "Maximum number of open file descriptors.",
              process.max_fds);
  out->family("process_start_time_seconds", "gauge",
              "Start time of the process since unix epoch in seconds.");
  out->sample("process_start_time_seconds", "", seconds_text(process.start_time_nanos));
}

}  // namespace

void TokenServer::start_metrics_endpoint() {
  if (!metrics_port) return;
  int listen_fd = open_listening_socket(*metrics_port, kMetricsListenBacklog);
  if (listen_fd < 0) {
    trace_line(kErrorFd, "metrics port " + std::to_string(*metrics_port) + ": " +
                             std::strerror(errno) + "; serving without metrics");
    return;
  }
  uint16_t bound = local_port(listen_fd);
  open_fds_listing.reset(::open(kOwnDescriptors, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  memory_figures.reset(::open(kOwnMemory, O_RDONLY | O_CLOEXEC));
  start_time_nanos = token_server::start_time_nanos();
  MetricsEndpoint::Pages pages = {[this] { return metrics_text(); },
                                  [this] { return health_problem(); }};
  metrics_endpoint =
      MetricsEndpoint::start(listen_fd, std::move(pages), &metrics_port_accept_errors);
  if (metrics_endpoint == nullptr) {
    trace_line(kErrorFd, "metrics port " + std::to_string(*metrics_port) +
                             ": the HTTP server did not start; serving without metrics");
    return;
  }
  bound_metrics_port_number.store(bound);
}

std::string TokenServer::health_problem() {
  using Clock = std::chrono::steady_clock;
  Clock::time_point now = Clock::now();
  auto since = [now](const std::atomic<int64_t>& nanos) {
    return now - Clock::time_point(std::chrono::nanoseconds(nanos.load(std::memory_order_relaxed)));
  };
  HealthSigns signs;
  signs.stopping = bound_port() == 0 || stop.load();
  signs.since_accept_loop_turned = since(accept_loop_turned_at);
  signs.since_worker_progress = since(worker_progress_at);
  {
    token_base::MutexLock lock(&sockets_mutex);
    if (!sockets.empty()) signs.longest_wait = now - sockets.front().queued_at;
  }
  return token_server::health_problem(signs);
}

std::string TokenServer::metrics_text() {
  Figures now = figures();
  Exposition out;
  add_figures(&out, now);
  add_service_times(&out, now);
  add_accept_errors(&out, token_port_accept_errors, metrics_port_accept_errors);
  add_process_figures(
      &out, process_figures(open_fds_listing.get(), memory_figures.get(), start_time_nanos));
  out.family("token_server_build_info", "gauge", "The server's version, as a label; always 1.");
  out.sample("token_server_build_info", R"({version=")" TOKEN_SERVER_VERSION R"("})", 1);
  return out.take();
}

}  // namespace token_server
