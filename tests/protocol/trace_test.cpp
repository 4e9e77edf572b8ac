// Trace lines: each is written whole, however long.
#include "protocol/trace.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

namespace {

// Writes with `write_line` into a pipe and returns what came out.
template <typename WriteLine>
std::string traced(WriteLine write_line) {
  int ends[2];
  EXPECT_EQ(::pipe(ends), 0);
  write_line(ends[1]);
  ::close(ends[1]);
  std::string out;
  char chunk[4096];
  for (ssize_t n; (n = ::read(ends[0], chunk, sizeof chunk)) > 0;) out.append(chunk, n);
  ::close(ends[0]);
  return out;
}

TEST(Trace, LongLineIsNotCut) {
  const std::string message =
      "invalid token request: entry 2: burst_size must be positive for a new access key";
  EXPECT_EQ(traced([&](int fd) { trace_line(fd, message); }), message + "\n");
  EXPECT_EQ(traced([](int fd) { trace_line(fd, ""); }), "\n");
}

}  // namespace
