// Sends this process's standard output (or another of its descriptors: standard error) to a file
// for one scope, so a test can read the lines that in-process code writes.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/support/server_process.h"

namespace token_server {

class StdoutCapture {
 public:
  explicit StdoutCapture(int captured_fd = STDOUT_FILENO) : captured_fd_(captured_fd) {
    char path[] = "/tmp/token_trace_XXXXXX";
    int fd = ::mkstemp(path);
    path_ = path;
    std::fflush(stdout);
    saved_ = ::dup(captured_fd_);
    ::dup2(fd, captured_fd_);
    ::close(fd);
  }
  ~StdoutCapture() {
    std::fflush(stdout);
    ::dup2(saved_, captured_fd_);
    ::close(saved_);
    ::unlink(path_.c_str());
  }
  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;

  std::string text() const { return read_file(path_); }

 private:
  int captured_fd_;
  std::string path_;
  int saved_;
};

}  // namespace token_server
