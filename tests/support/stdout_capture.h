// Sends this process's standard output to a file for one scope, so a test can read the trace
// that in-process code writes.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/support/server_process.h"

class StdoutCapture {
 public:
  StdoutCapture() {
    char path[] = "/tmp/token_trace_XXXXXX";
    int fd = ::mkstemp(path);
    path_ = path;
    std::fflush(stdout);
    saved_ = ::dup(1);
    ::dup2(fd, 1);
    ::close(fd);
  }
  ~StdoutCapture() {
    std::fflush(stdout);
    ::dup2(saved_, 1);
    ::close(saved_);
    ::unlink(path_.c_str());
  }
  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;

  std::string text() const { return read_file(path_); }

 private:
  std::string path_;
  int saved_;
};
