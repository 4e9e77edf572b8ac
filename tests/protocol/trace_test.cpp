// Trace lines: each is written whole, however long.
#include "protocol/trace.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "protocol/token_connection.h"

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

TEST(Trace, PendingLinesComeOutWholeAndInOrder) {
  EXPECT_EQ(traced([](int fd) {
              TraceBuffer pending(fd);
              pending.add_number("end: ", 7);
              pending.add_text("msg: ", "ab\0cd", 5);
              pending.add_number("n: ", -12);
              pending.flush();
            }),
            "end: 7\nmsg: ab\nn: -12\n");
  // Lines past what one write keeps whole still come out whole and in order.
  const std::string text(kConnectionBufferSize, 'x');
  EXPECT_EQ(traced([&](int fd) {
              TraceBuffer pending(fd);
              pending.add_number("end: ", 0);
              pending.add_text("msg: ", text.data(), text.size());
              pending.add_text("msg: ", text.data(), PIPE_BUF - 6);
              pending.add_text("reply: ", "OK", 2);
              pending.flush();
            }),
            "end: 0\nmsg: " + text + "\nmsg: " + text.substr(0, PIPE_BUF - 6) + "\nreply: OK\n");
}

}  // namespace
