// The real server binary, run as a child process for end-to-end tests.
//
// Its standard output and standard error go to files that tests read back. The binary's port is
// fixed, so a ServerProcess holds an exclusive lock on a lock file for its whole life: test
// processes that start the binary never overlap, whoever runs them.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace token_server {

// Holds the port's lock file; nests within one process (a test may hold it around a server).
class PortLock {
 public:
  PortLock();
  ~PortLock();
  PortLock(const PortLock&) = delete;
  PortLock& operator=(const PortLock&) = delete;
};

class ServerProcess {
 public:
  struct Options {
    bool wait_until_listening = true;
    long descriptor_limit = 0;  // RLIMIT_NOFILE for the server; 0 keeps the inherited one
    bool stdout_to_closed_pipe = false;
    bool stdout_to_pipe = false;    // stdout_pipe() is its read end: the test reads it, or never
    bool stderr_to_stdout = false;  // as `2>&1` would: stderr_text() is then empty
    // Starts the server with standard input, output and error closed, as some supervisors do;
    // nothing it writes reaches the files. Set wait_until_listening false with it.
    bool standard_descriptors_closed = false;
    std::vector<std::string> environment;  // NAME=VALUE entries before the inherited ones
    std::vector<std::string> arguments;    // the command line after the binary's name
    // A network namespace to run the server in, such as /proc/PID/ns/net, so that several
    // servers can each have port 6666; empty: the test's own.
    std::string network_namespace;
  };
  ServerProcess();
  explicit ServerProcess(Options options);
  ~ServerProcess();  // kills the server if it still runs
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  bool listening() const { return listening_; }
  pid_t pid() const { return pid_; }

  // With stdout_to_pipe: the pipe's read end, owned by this object; the listen line is read.
  int stdout_pipe() const { return stdout_pipe_; }
  std::string stdout_text() const;
  std::string stderr_text() const;
  // Waits until standard output holds `text`.
  bool wait_for_stdout(const std::string& text,
                       std::chrono::milliseconds limit = std::chrono::seconds(5)) const;
  bool wait_for_stderr(const std::string& text,
                       std::chrono::milliseconds limit = std::chrono::seconds(5)) const;

  // Sends `signal` and waits for the exit; returns the exit status, or nullopt when the server
  // did not exit normally within `limit`.
  std::optional<int> stop(int signal, std::chrono::milliseconds limit = std::chrono::seconds(5));
  // Waits for the exit without a signal.
  std::optional<int> wait_exit(std::chrono::milliseconds limit);
  bool running();

  // Processor time the server has used, user and system, in clock ticks; throws
  // std::bad_optional_access when /proc cannot tell.
  long long cpu_ticks() const;
  // Descriptors the server has open.
  int open_descriptors() const;
  // Resident memory, in kB.
  long resident_kb() const;

 private:
  // Reads standard output's first line from the pipe: whether it is the listen line.
  bool read_listen_line();

  PortLock lock_;
  std::string stdout_path_;
  std::string stderr_path_;
  int stdout_pipe_ = -1;
  pid_t pid_ = -1;
  bool listening_ = false;
  bool exited_ = false;
  int exit_status_ = -1;
};

std::string read_file(const std::string& path);

// Standard error without the lines the server writes when every worker is busy, when connections
// no longer wait, and that sum up such spells: tests that fill the pool on purpose compare the
// rest.
std::string without_pool_lines(const std::string& stderr_text);

}  // namespace token_server
