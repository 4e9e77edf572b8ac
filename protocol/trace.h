// Trace output: plain lines on standard output (requests and replies) and standard error.
//
// Lines of different workers never tear each other, and the trace never holds up the service:
// a line that cannot be written within kTraceWaitMillis (standard output is a pipe nobody reads,
// or a closed one) is dropped and counted lost (base/trace_output.h says how). When standard output
// is /dev/null, no trace line is even formatted.
#pragma once

#include <limits.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "base/trace_output.h"

namespace token_server {

using token_base::TraceOutput;

class TraceLine;

constexpr char kDeleteByte = 0x7f;

constexpr int kTraceFd = 1;  // standard output
constexpr int kErrorFd = 2;  // standard error

// Where the trace and the error lines go. Written as the descriptors are until
// open_trace_outputs() has looked at them.
extern TraceOutput trace_output;
extern TraceOutput error_output;

// Decides how standard output and standard error are written, once, before any thread writes to
// them. Standard error is written even to /dev/null; standard output is then not written at all.
void open_trace_outputs();

// The trace lines of one connection that are not written yet. A request's lines (the end of its
// receive, the request, the reply) go out with one write once its reply is ready, instead of one
// write each. Whoever holds it flushes before anything that must come after the lines: sending
// the reply, waiting for the peer, writing to standard error, closing the connection.
class TraceBuffer {
 public:
  // lines_ is left unset: it is read only as far as it has been written.
  TraceBuffer() : TraceBuffer(&trace_output) {}
  explicit TraceBuffer(TraceOutput* output) : output_(output), discards_(output->discards()) {}

  // Adds `prefix`, `value` in decimal and '\n'.
  void add_number(std::string_view prefix, long value) {
    if (!discards_) append_number(prefix, value);
  }
  // Adds `prefix`, `text` up to its first NUL (at most `max_len` bytes) and '\n'. Each control
  // byte in the text (0x01-0x1f, 0x7f) is written as \xNN, CR as \x0d, but a CR LF that ends it,
  // so that no text can start a line of its own or steer a terminal.
  void add_text(std::string_view prefix, const char* text, size_t max_len) {
    if (!discards_) append_text(prefix, text, strnlen(text, max_len));
  }
  // Adds `prefix`, the `length` bytes of `text`, which hold no NUL, and '\n', escaped as add_text
  // does: for text the server wrote, whose only control bytes are a final CR LF and any DEL it
  // echoes from a client (a reply's JSON escapes every other control byte of the keys it echoes),
  // so that one search for DEL tells whether anything is to be escaped.
  void add_server_text(std::string_view prefix, const char* text, size_t length) {
    if (discards_) return;
    if (std::memchr(text, kDeleteByte, length) == nullptr) {
      append_plain(prefix, text, length);
    } else {
      append_text(prefix, text, length);
    }
  }
  // Writes the pending lines, in order, and forgets them.
  void flush();
  // Counts the lines whose write fails in `lost_lines`, which only this buffer's thread writes.
  void count_losses_in(std::atomic<uint64_t>* lost_lines) { lost_lines_ = lost_lines; }

 private:
  // Pending lines never pass PIPE_BUF, so one write keeps them whole; a longer line is written
  // by itself.
  static constexpr size_t kCapacity = PIPE_BUF;

  void append_number(std::string_view prefix, long value);
  void append_text(std::string_view prefix, const char* text, size_t text_length);
  // Adds a line whose text holds no control byte but a final CR LF, as is.
  void append_plain(std::string_view prefix, const char* text, size_t text_length);
  void append_line(TraceLine* line);
  void write_long_line(TraceLine* line);
  void lost(uint64_t lines);

  TraceOutput* output_;
  bool discards_;  // the output's choice, looked up once: a line costs nothing then
  std::atomic<uint64_t>* lost_lines_ = nullptr;
  size_t length_ = 0;        // bytes pending
  uint64_t line_count_ = 0;  // lines pending
  char lines_[kCapacity];
};

// Writes `line` up to its first NUL, and '\n', at once.
void trace_line(TraceOutput* output, std::string_view line);
// trace_line to standard output (kTraceFd) or standard error (kErrorFd).
void trace_line(int fd, std::string_view line);

// Writes `line` to standard error after the lines pending in `pending`, so that the two streams
// merged keep the order in which things happened.
void report_error(TraceBuffer* pending, std::string_view line);

}  // namespace token_server
