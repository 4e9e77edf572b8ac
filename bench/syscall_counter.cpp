#include "bench/syscall_counter.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>

extern char** environ;

namespace {

constexpr std::string_view kTotalEvent = "raw_syscalls:sys_enter";
constexpr std::string_view kNamedEventPrefix = "syscalls:sys_enter_";
constexpr std::string_view kNotCounted = "<not counted>";
// perf writes its answer with the string's NUL, which is dropped before comparing.
constexpr std::string_view kAcknowledgement = "ack\n";
// perf opens one counter per event and thread, so attaching to a pool of 50 threads takes a
// while on a busy machine.
constexpr int kStartMillis = 10'000;
constexpr int kCommandMillis = 2'000;
constexpr int kOutputMillis = 5'000;

void close_fd(int* fd) {
  if (*fd >= 0) ::close(*fd);
  *fd = -1;
}

// Waits up to `millis` for `fd` to become readable; false on time-out, hang-up or error.
bool wait_readable(int fd, int millis) {
  pollfd waited = {fd, POLLIN, 0};
  for (;;) {
    int ready = ::poll(&waited, 1, millis);
    if (ready < 0 && errno == EINTR) continue;
    return ready == 1 && (waited.revents & POLLIN);
  }
}

// Takes the text up to `separator`, or all of it, off the front of `rest`.
std::string_view take_field(std::string_view* rest, char separator) {
  size_t end = rest->find(separator);
  std::string_view field = rest->substr(0, end);
  rest->remove_prefix(end == std::string_view::npos ? rest->size() : end + 1);
  return field;
}

std::string event_list() {
  std::string events(kTotalEvent);
  for (std::string_view name : counted_syscalls()) {
    events += ',';
    events += kNamedEventPrefix;
    events += name;
  }
  return events;
}

}  // namespace

const std::vector<std::string_view>& counted_syscalls() {
  static const std::vector<std::string_view> names = {
      "recvfrom", "sendto", "recvmsg",    "sendmsg",     "read",  "write",   "writev",
      "poll",     "ppoll",  "epoll_wait", "epoll_pwait", "futex", "accept4", "close"};
  return names;
}

SyscallCounts parse_perf_counts(std::string_view perf_output) {
  SyscallCounts counts;
  while (!perf_output.empty()) {
    std::string_view fields = take_field(&perf_output, '\n');
    std::string_view value = take_field(&fields, ',');
    take_field(&fields, ',');  // the unit, empty for a tracepoint
    std::string_view event = take_field(&fields, ',');
    uint64_t count = 0;
    if (value != kNotCounted) {
      auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), count);
      if (error != std::errc() || end != value.data() + value.size()) continue;
    }
    if (!event.empty()) counts[std::string(event)] = count;
  }
  return counts;
}

std::vector<std::pair<std::string_view, uint64_t>> counts_by_call(const SyscallCounts& counts) {
  auto count_of = [&counts](std::string_view event) -> uint64_t {
    auto found = counts.find(event);
    return found == counts.end() ? 0 : found->second;
  };
  uint64_t total = count_of(kTotalEvent);
  uint64_t named = 0;
  std::vector<std::pair<std::string_view, uint64_t>> by_call = {{"all", total}};
  for (std::string_view name : counted_syscalls()) {
    uint64_t count = count_of(std::string(kNamedEventPrefix) + std::string(name));
    named += count;
    by_call.emplace_back(name, count);
  }
  by_call.emplace_back("other", total > named ? total - named : 0);
  return by_call;
}

SyscallCounter::~SyscallCounter() { stop_perf(); }

bool SyscallCounter::start(pid_t pid) {
  // One socket pair carries the commands and perf's answers, so that a perf that died makes a
  // command fail instead of raising SIGPIPE. All that perf prints goes to the output pipe:
  // its counts and notes stay off the caller's stdout, whose last line scripts read.
  int control[2];
  int output[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, control) != 0) return false;
  if (::pipe2(output, O_CLOEXEC) != 0) {
    ::close(control[0]);
    ::close(control[1]);
    return false;
  }
  control_fd_ = control[0];
  output_fd_ = output[0];
  int perf_control = control[1];
  ::fcntl(perf_control, F_SETFD, 0);  // kept across exec
  std::string events = event_list();
  std::string target = std::to_string(pid);
  std::string control_option =
      "fd:" + std::to_string(perf_control) + "," + std::to_string(perf_control);
  const char* argv[] = {
      "perf",         "stat",    "-x,", "-e",        events.c_str(),         "-p",
      target.c_str(), "--delay", "-1",  "--control", control_option.c_str(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, output[1], STDERR_FILENO);
  int failed =
      posix_spawnp(&perf_pid_, "perf", &actions, nullptr, const_cast<char**>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(perf_control);
  ::close(output[1]);
  if (failed != 0) {
    std::fprintf(stderr, "load_generator: cannot start perf: %s\n", std::strerror(failed));
    perf_pid_ = -1;
    stop_perf();
    return false;
  }
  if (!command("ping", kStartMillis)) {
    ::kill(perf_pid_, SIGINT);
    std::fprintf(stderr, "load_generator: perf did not start counting process %d:\n%s\n", pid,
                 read_output().c_str());
    stop_perf();
    return false;
  }
  return true;
}

bool SyscallCounter::enable() { return command("enable", kCommandMillis); }

bool SyscallCounter::disable() { return command("disable", kCommandMillis); }

bool SyscallCounter::command(const char* text, int millis) {
  if (control_fd_ < 0) return false;
  std::string line = std::string(text) + "\n";
  if (::send(control_fd_, line.data(), line.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(line.size())) {
    return false;
  }
  std::string answer;
  while (answer.find('\n') == std::string::npos) {
    if (!wait_readable(control_fd_, millis)) return false;
    char bytes[16];
    ssize_t got = ::recv(control_fd_, bytes, sizeof bytes, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    for (ssize_t i = 0; i < got; ++i) {
      if (bytes[i] != '\0') answer += bytes[i];
    }
  }
  return answer == kAcknowledgement;
}

std::optional<SyscallCounts> SyscallCounter::finish() {
  if (perf_pid_ < 0) return std::nullopt;
  // perf prints its counts when interrupted, then ends.
  ::kill(perf_pid_, SIGINT);
  std::string output = read_output();
  stop_perf();
  SyscallCounts counts = parse_perf_counts(output);
  if (counts.count(kTotalEvent) == 0) {
    std::fprintf(stderr, "load_generator: perf counted nothing:\n%s\n", output.c_str());
    return std::nullopt;
  }
  return counts;
}

std::string SyscallCounter::read_output() {
  std::string output;
  char bytes[4096];
  while (wait_readable(output_fd_, kOutputMillis)) {
    ssize_t got = ::read(output_fd_, bytes, sizeof bytes);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    output.append(bytes, static_cast<size_t>(got));
  }
  return output;
}

void SyscallCounter::stop_perf() {
  close_fd(&control_fd_);
  close_fd(&output_fd_);
  if (perf_pid_ < 0) return;
  ::kill(perf_pid_, SIGINT);
  int status = 0;
  while (::waitpid(perf_pid_, &status, 0) < 0 && errno == EINTR) {
  }
  perf_pid_ = -1;
}
