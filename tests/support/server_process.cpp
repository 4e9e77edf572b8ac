#include "tests/support/server_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "harness/proc_stat.h"
#include "tests/support/poll_until.h"

#ifndef TOKEN_SERVER_BINARY
#error "TOKEN_SERVER_BINARY must name the server binary"
#endif

namespace token_server {
#ifndef TOKEN_PORT_LOCK
#error "TOKEN_PORT_LOCK must name the port's lock file"
#endif

namespace {

constexpr auto kPollStep = std::chrono::milliseconds(5);
constexpr auto kStartLimit = std::chrono::seconds(5);
constexpr char kListenLine[] = "listen on port 6666\n";

// A new empty file for one of the server's output streams; ~ServerProcess removes it.
std::string temp_path(const std::string& suffix) {
  std::string path = "/tmp/token_server_test_XXXXXX" + suffix;
  int fd = ::mkstemps(path.data(), static_cast<int>(suffix.size()));
  if (fd >= 0) ::close(fd);
  return path;
}

// `added`, then the inherited environment, as execve takes it: the first entry of a name wins.
// Built before the fork, since the child of a threaded process must not allocate.
std::vector<char*> environment_with(std::vector<std::string>& added) {
  std::vector<char*> entries;
  for (std::string& entry : added) entries.push_back(entry.data());
  for (char** entry = environ; *entry != nullptr; ++entry) entries.push_back(*entry);
  entries.push_back(nullptr);
  return entries;
}

}  // namespace

std::string without_pool_lines(const std::string& stderr_text) {
  std::istringstream lines(stderr_text);
  std::string kept;
  for (std::string line; std::getline(lines, line);) {
    bool pool_line = (line.rfind("all ", 0) == 0 &&
                      line.find(" workers busy: connections are waiting") != std::string::npos) ||
                     line.rfind("connections no longer waiting: ", 0) == 0 ||
                     line.rfind("workers busy in ", 0) == 0;
    if (!pool_line) kept += line + "\n";
  }
  return kept;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// flock excludes other open files, even of this process, so nested holders share one.
std::mutex port_lock_mutex;
int port_lock_fd = -1;
int port_lock_holders = 0;

PortLock::PortLock() {
  std::lock_guard<std::mutex> lock(port_lock_mutex);
  if (port_lock_holders++ > 0) return;
  port_lock_fd = ::open(TOKEN_PORT_LOCK, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (port_lock_fd >= 0) ::flock(port_lock_fd, LOCK_EX);
}

PortLock::~PortLock() {
  std::lock_guard<std::mutex> lock(port_lock_mutex);
  if (--port_lock_holders > 0) return;
  if (port_lock_fd >= 0) ::close(port_lock_fd);  // closing releases the lock
  port_lock_fd = -1;
}

ServerProcess::ServerProcess() : ServerProcess(Options{}) {}

ServerProcess::ServerProcess(Options options)
    : stdout_path_(temp_path(".out")), stderr_path_(temp_path(".err")) {
  int pipe_fds[2] = {-1, -1};
  bool stdout_piped = options.stdout_to_closed_pipe || options.stdout_to_pipe;
  if (stdout_piped) ::pipe2(pipe_fds, O_CLOEXEC);
  std::vector<char*> environment = environment_with(options.environment);
  std::vector<char*> arguments = {const_cast<char*>(TOKEN_SERVER_BINARY)};
  for (std::string& argument : options.arguments) arguments.push_back(argument.data());
  arguments.push_back(nullptr);
  pid_ = ::fork();
  if (pid_ == 0) {
    if (options.standard_descriptors_closed) {
      for (int fd = 0; fd <= 2; ++fd) ::close(fd);
    } else {
      int out = stdout_piped ? pipe_fds[1]
                             : ::open(stdout_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      int err = options.stderr_to_stdout
                    ? out
                    : ::open(stderr_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ::dup2(out, 1);
      ::dup2(err, 2);
    }
    if (!options.network_namespace.empty()) {
      int name_space = ::open(options.network_namespace.c_str(), O_RDONLY | O_CLOEXEC);
      if (name_space < 0 || ::setns(name_space, CLONE_NEWNET) != 0) ::_exit(126);
    }
    if (options.descriptor_limit > 0) {
      rlimit limit = {static_cast<rlim_t>(options.descriptor_limit),
                      static_cast<rlim_t>(options.descriptor_limit)};
      ::setrlimit(RLIMIT_NOFILE, &limit);
    }
    // Only the standard three: a descriptor the test runner left open would change how many the
    // server can open before it reaches its limit.
    ::close_range(3, ~0U, 0);
    ::execve(TOKEN_SERVER_BINARY, arguments.data(), environment.data());
    ::_exit(127);
  }
  if (options.stdout_to_closed_pipe) {
    // With the read end gone, every trace write fails with EPIPE.
    ::close(pipe_fds[0]);
    ::close(pipe_fds[1]);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    listening_ = running();
    return;
  }
  if (options.stdout_to_pipe) {
    ::close(pipe_fds[1]);
    stdout_pipe_ = pipe_fds[0];
    if (options.wait_until_listening) listening_ = read_listen_line();
    return;
  }
  if (options.wait_until_listening) listening_ = wait_for_stdout(kListenLine);
}

bool ServerProcess::read_listen_line() {
  std::string line;
  auto deadline = std::chrono::steady_clock::now() + kStartLimit;
  while (line.empty() || line.back() != '\n') {
    pollfd wait = {stdout_pipe_, POLLIN, 0};
    char byte;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    if (::poll(&wait, 1, static_cast<int>(kPollStep.count())) <= 0) continue;
    if (::read(stdout_pipe_, &byte, 1) != 1) return false;
    line += byte;
  }
  return line == kListenLine;
}

ServerProcess::~ServerProcess() {
  if (pid_ > 0 && !exited_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  if (stdout_pipe_ >= 0) ::close(stdout_pipe_);
  ::unlink(stdout_path_.c_str());
  ::unlink(stderr_path_.c_str());
}

std::string ServerProcess::stdout_text() const { return read_file(stdout_path_); }
std::string ServerProcess::stderr_text() const { return read_file(stderr_path_); }

bool ServerProcess::wait_for_stdout(const std::string& text,
                                    std::chrono::milliseconds limit) const {
  return poll_until([&] { return stdout_text().find(text) != std::string::npos; }, limit);
}

bool ServerProcess::wait_for_stderr(const std::string& text,
                                    std::chrono::milliseconds limit) const {
  return poll_until([&] { return stderr_text().find(text) != std::string::npos; }, limit);
}

bool ServerProcess::running() {
  if (exited_) return false;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) == pid_) {
    exited_ = true;
    exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return false;
  }
  return true;
}

std::optional<int> ServerProcess::wait_exit(std::chrono::milliseconds limit) {
  if (!poll_until([&] { return !running(); }, limit)) return std::nullopt;
  return exit_status_;
}

std::optional<int> ServerProcess::stop(int signal, std::chrono::milliseconds limit) {
  if (running()) ::kill(pid_, signal);
  return wait_exit(limit);
}

long long ServerProcess::cpu_ticks() const { return process_cpu_ticks(pid_).value(); }

int ServerProcess::open_descriptors() const {
  std::string path = "/proc/" + std::to_string(pid_) + "/fd";
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) return -1;
  int count = 0;
  while (dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(dir);
  return count;
}

long ServerProcess::resident_kb() const {
  std::istringstream status(read_file("/proc/" + std::to_string(pid_) + "/status"));
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

}  // namespace token_server
