// Trace lines: each is written whole, however long, and nothing at all goes to /dev/null.
#include "protocol/trace.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "protocol/token_connection.h"
#include "server/unique_fd.h"

namespace token_server {

namespace {

using token_base::classify_output;
using token_base::OutputKind;

// Writes with `write_lines` through a TraceOutput on a pipe, or a socket, and returns what came
// out. The other end is read meanwhile, as a line may be longer than it holds.
template <typename WriteLines>
std::string traced(WriteLines write_lines, bool through_socket = false) {
  int ends[2];
  EXPECT_EQ(through_socket ? ::socketpair(AF_UNIX, SOCK_STREAM, 0, ends) : ::pipe(ends), 0);
  std::string out;
  std::thread reader([&] {
    char chunk[4096];
    for (ssize_t n; (n = ::read(ends[0], chunk, sizeof chunk)) > 0;) out.append(chunk, n);
  });
  {
    TraceOutput output(ends[1]);
    output.open(/*may_discard=*/true);
    write_lines(&output);
  }
  ::close(ends[1]);
  reader.join();
  ::close(ends[0]);
  return out;
}

// Lines come out whole and in order, each with its newline: a line longer than a pipe keeps
// whole is written in pieces, and pending lines past what one write keeps whole still come out
// whole and in order, on a socket too.
TEST(Trace, LinesComeOutWholeAndInOrderHoweverLong) {
  const std::string message = "invalid token request: " + std::string(5 * PIPE_BUF, 'k');
  EXPECT_EQ(traced([&](TraceOutput* out) { trace_line(out, message); }), message + "\n");
  EXPECT_EQ(traced([](TraceOutput* out) { trace_line(out, ""); }), "\n");
  EXPECT_EQ(traced([](TraceOutput* out) {
              TraceBuffer pending(out);
              pending.add_number("end: ", 7);
              pending.add_text("msg: ", "ab\0cd", 5);
              pending.add_number("n: ", -12);
              pending.flush();
            }),
            "end: 7\nmsg: ab\nn: -12\n");
  const std::string text(kConnectionBufferSize, 'x');
  for (bool through_socket : {false, true}) {
    EXPECT_EQ(traced(
                  [&](TraceOutput* out) {
                    TraceBuffer pending(out);
                    pending.add_number("end: ", 0);
                    pending.add_text("msg: ", text.data(), text.size());
                    pending.add_text("msg: ", text.data(), PIPE_BUF - 6);
                    pending.add_text("reply: ", "OK", 2);
                    pending.flush();
                  },
                  through_socket),
              "end: 0\nmsg: " + text + "\nmsg: " + text.substr(0, PIPE_BUF - 6) + "\nreply: OK\n");
  }
}

std::string traced_text(const std::string& text) {
  return traced([&](TraceOutput* out) {
    TraceBuffer pending(out);
    pending.add_text("m: ", text.data(), text.size());
    pending.flush();
  });
}

// No text starts a line of its own or steers a terminal: its control bytes are escaped, but a
// CR LF that ends it; a NUL ends the text shown.
TEST(Trace, ControlBytesInsideTheTextAreEscaped) {
  const std::string kRows[][2] = {
      {"SHAKE\r\n", "SHAKE\r\n"},
      {"{\"a\nreply msg: forged\r\n", "{\"a\\x0areply msg: forged\r\n"},
      {"\r\r\n", "\\x0d\r\n"},
      {"ab\r", "ab\\x0d"},
      {"\n\r\n\r", "\\x0a\\x0d\\x0a\\x0d"},
      {"x\r\ny\r\n", "x\\x0d\\x0ay\r\n"},
      {"\r\n", "\r\n"},
      {"\n", "\\x0a"},
      {"{\"k\":\"\x1b[1A\x1b[2K\ttab\x01\x1f\x7f\x80\xff\"}\r\n",
       "{\"k\":\"\\x1b[1A\\x1b[2K\\x09tab\\x01\\x1f\\x7f\x80\xff\"}\r\n"},
      {std::string("a\x1b\0\x1b", 4), "a\\x1b"},
  };
  for (const auto& row : kRows) EXPECT_EQ(traced_text(row[0]), "m: " + row[1] + "\n") << row[0];
  // A reply escapes the DEL it echoes from a key; JSON has escaped the other control bytes.
  EXPECT_EQ(traced([](TraceOutput* out) {
              TraceBuffer pending(out);
              pending.add_server_text("r: ", "{\"k\x7f\"}\r\n", 8);
              pending.add_server_text("r: ", "OK\r\n", 4);
              pending.flush();
            }),
            "r: {\"k\\x7f\"}\r\n\nr: OK\r\n\n");

  // Lines longer than one write, their escapes falling across the pieces they are written in.
  auto escaped = [](const std::string& text) {
    std::string shown;
    for (char byte : text.substr(0, text.size() - 2)) {
      shown += byte == '\r'   ? "\\x0d"
               : byte == '\n' ? "\\x0a"
               : byte == 27   ? "\\x1b"
                              : std::string(1, byte);
    }
    return shown + "\r\n";
  };
  std::string mixed;
  for (int i = 0; mixed.size() < kConnectionBufferSize - 2; ++i) mixed += "\r\n{x\n\x1b"[i % 6];
  for (const std::string& text :
       {std::string(kConnectionBufferSize - 2, '\n') + "\r\n", mixed + "\r\n"}) {
    EXPECT_EQ(traced_text(text), "m: " + escaped(text) + "\n");
  }
}

TEST(TraceOutput, KindFollowsWhatTheDescriptorIs) {
  struct stat dev_null;
  ASSERT_EQ(::stat("/dev/null", &dev_null), 0);
  auto kind_of = [&](int fd) {
    struct stat output;
    EXPECT_EQ(::fstat(fd, &output), 0);
    return classify_output(output, &dev_null);
  };
  int pipe_ends[2];
  int socket_ends[2];
  ASSERT_EQ(::pipe(pipe_ends), 0);
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, socket_ends), 0);
  UniqueFd null_fd(::open("/dev/null", O_WRONLY));
  UniqueFd zero_fd(::open("/dev/zero", O_WRONLY));
  UniqueFd directory(::open("/", O_RDONLY));
  UniqueFd pipe_read(pipe_ends[0]), pipe_write(pipe_ends[1]);
  UniqueFd socket_end(socket_ends[0]), socket_peer(socket_ends[1]);
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(kind_of(null_fd.get()), OutputKind::kDevNull);
  EXPECT_EQ(kind_of(zero_fd.get()), OutputKind::kCharDevice);
  EXPECT_EQ(kind_of(pipe_write.get()), OutputKind::kPipe);
  EXPECT_EQ(kind_of(socket_end.get()), OutputKind::kSocket);
  EXPECT_EQ(kind_of(::fileno(file)), OutputKind::kRegularFile);
  EXPECT_EQ(kind_of(directory.get()), OutputKind::kOther);
  struct stat null_stat;
  ASSERT_EQ(::fstat(null_fd.get(), &null_stat), 0);
  EXPECT_EQ(classify_output(null_stat, nullptr), OutputKind::kCharDevice);  // /dev/null unknown
  std::fclose(file);

  // Standard error is written even to /dev/null; standard output is not.
  TraceOutput discarding(null_fd.get());
  discarding.open(/*may_discard=*/true);
  EXPECT_TRUE(discarding.discards());
  TraceOutput kept(null_fd.get());
  kept.open(/*may_discard=*/false);
  EXPECT_FALSE(kept.discards());
}

// Reads what a non-blocking pipe holds now.
std::string read_available(int fd) {
  std::string out;
  char chunk[4096];
  for (ssize_t n; (n = ::read(fd, chunk, sizeof chunk)) > 0;) out.append(chunk, n);
  return out;
}

// A pipe nobody reads costs one wait of about kTraceWaitMillis; then writes that find it full
// drop their lines at once, until it takes bytes again. The descriptor the process shares keeps
// its mode: the writes go through a non-blocking description of their own.
TEST(TraceOutput, StalledPipeCostsOneWaitThenDropsAtOnce) {
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  UniqueFd read_end(ends[0]), write_end(ends[1]);
  TraceOutput output(write_end.get());
  output.open(/*may_discard=*/true);
  EXPECT_EQ(::fcntl(write_end.get(), F_GETFL) & O_NONBLOCK, 0);
  const std::string line = std::string(PIPE_BUF - 1, 'x') + "\n";
  auto write_line = [&] { return output.write_lines(line.data(), line.size()) == line.size(); };

  auto filling = std::chrono::steady_clock::now();
  int lines_taken = 0;
  while (write_line()) ++lines_taken;
  auto stalled = std::chrono::steady_clock::now();
  EXPECT_GT(lines_taken, 0);
  EXPECT_LT(stalled - filling, std::chrono::seconds(2));
  for (int i = 0; i < 20; ++i) EXPECT_FALSE(write_line());
  EXPECT_LT(std::chrono::steady_clock::now() - stalled, std::chrono::seconds(1));  // not 20 waits

  char room[PIPE_BUF];
  ASSERT_EQ(::read(read_end.get(), room, sizeof room), static_cast<ssize_t>(sizeof room));
  EXPECT_TRUE(write_line());
}

// A long line whose time runs out after its first piece is cut there; the next lines begin with
// the newline that ends it.
TEST(TraceOutput, LineCutByAStallIsEndedBeforeTheNextLines) {
  int ends[2];
  ASSERT_EQ(::pipe2(ends, O_NONBLOCK), 0);
  UniqueFd read_end(ends[0]), write_end(ends[1]);
  ::fcntl(write_end.get(), F_SETFL, 0);  // as a shell would hand it over: blocking
  ASSERT_EQ(::fcntl(write_end.get(), F_SETPIPE_SZ, PIPE_BUF), PIPE_BUF);
  TraceOutput output(write_end.get());
  output.open(/*may_discard=*/true);
  std::atomic<uint64_t> lost{0};
  TraceBuffer pending(&output);
  pending.count_losses_in(&lost);

  const std::string text(3 * PIPE_BUF, 'l');
  pending.add_text("m: ", text.data(), text.size());
  std::string out = read_available(read_end.get());
  EXPECT_EQ(out, "m: " + text.substr(0, PIPE_BUF - 3));
  EXPECT_EQ(lost.load(), 1u);
  pending.add_text("next: ", "x", 1);
  pending.flush();
  EXPECT_EQ(read_available(read_end.get()), "\nnext: x\n");
}

// A file that takes part of a write (a disk or a quota full) cuts a line: the lines not written
// whole are counted lost, and the next line starts on a line of its own. A file size limit
// stands in for the full disk.
TEST(TraceOutput, LineCutByAFullFileIsEndedBeforeTheNextLines) {
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  TraceOutput output(::fileno(file));
  output.open(/*may_discard=*/true);
  std::atomic<uint64_t> lost{0};
  TraceBuffer pending(&output);
  pending.count_losses_in(&lost);
  rlimit unlimited = {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &unlimited), 0);
  auto* previous_handler = ::signal(SIGXFSZ, SIG_IGN);
  rlimit full = {8, unlimited.rlim_max};
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &full), 0);
  pending.add_number("a: ", 1);
  pending.add_number("b: ", 22);
  pending.add_number("c: ", 333);
  pending.flush();
  ::setrlimit(RLIMIT_FSIZE, &unlimited);
  ::signal(SIGXFSZ, previous_handler);
  EXPECT_EQ(lost.load(), 2u);
  pending.add_number("d: ", 4);
  pending.flush();
  std::string out(64, '\0');
  out.resize(static_cast<size_t>(::pread(::fileno(file), out.data(), out.size(), 0)));
  EXPECT_EQ(out, "a: 1\nb: \nd: 4\n");
  EXPECT_EQ(lost.load(), 2u);
  std::fclose(file);
}

}  // namespace

}  // namespace token_server
