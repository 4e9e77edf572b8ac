// What the fuzz targets share: a check that fails the run, quiet trace output, and libFuzzer's
// entry points.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

// A broken invariant is a crash to libFuzzer: it saves the input and stops.
#define FUZZ_CHECK(condition)                                                            \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (0)

// The server traces every request and reply on standard output; written to a terminal or a log
// that would slow the runs down and bury libFuzzer's own lines, so it goes to /dev/null.
inline void discard_trace_output() {
  int null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null_fd < 0) return;
  ::dup2(null_fd, STDOUT_FILENO);
  ::close(null_fd);
}

// Defines libFuzzer's entry points: the trace is discarded, and each input goes to `run_input`,
// a function of (const uint8_t* data, size_t size).
#define TOKEN_FUZZ_TARGET(run_input)                                        \
  extern "C" int LLVMFuzzerInitialize(int*, char***) {                      \
    discard_trace_output();                                                 \
    return 0;                                                               \
  }                                                                         \
  extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { \
    run_input(data, size);                                                  \
    return 0;                                                               \
  }
