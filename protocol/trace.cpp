#include "protocol/trace.h"

#include <errno.h>
#include <limits.h>
#include <unistd.h>

#include <cstring>
#include <mutex>

#include "protocol/token_connection.h"

namespace {

// Longest prefix a trace line carries ("message from client: " and the like).
constexpr size_t kMaxPrefixLength = 64;
constexpr size_t kMaxLineLength = kMaxPrefixLength + kConnectionBufferSize + 1;
constexpr size_t kMaxDigits = 24;  // a long in decimal, with its sign
constexpr size_t kMaxNumberLineLength = kMaxPrefixLength + kMaxDigits + 1;

// A pipe keeps writes of up to PIPE_BUF bytes whole by itself; longer lines take this lock so
// that they cannot interleave with each other.
std::mutex long_line_mutex;

void write_all(int fd, const char* data, size_t length) {
  while (length > 0) {
    ssize_t written = ::write(fd, data, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;  // the line is lost, never the service
    data += written;
    length -= static_cast<size_t>(written);
  }
}

void write_line(int fd, const char* line, size_t length) {
  if (length <= PIPE_BUF) {
    write_all(fd, line, length);
    return;
  }
  std::lock_guard<std::mutex> lock(long_line_mutex);
  write_all(fd, line, length);
}

// Formats `prefix` (cut at kMaxPrefixLength), `text` up to its first NUL (at most `max_len`
// bytes and at most a buffer's length) and '\n' into `line`; returns the line's length.
size_t format_text_line(char* line, std::string_view prefix, const char* text, size_t max_len) {
  size_t prefix_length = prefix.size() < kMaxPrefixLength ? prefix.size() : kMaxPrefixLength;
  size_t text_length =
      strnlen(text, max_len < kConnectionBufferSize ? max_len : kConnectionBufferSize);
  // An empty view may carry no pointer at all, which memcpy must not be given.
  if (prefix_length > 0) std::memcpy(line, prefix.data(), prefix_length);
  std::memcpy(line + prefix_length, text, text_length);
  line[prefix_length + text_length] = '\n';
  return prefix_length + text_length + 1;
}

// Formats `prefix`, `value` in decimal and '\n' into `line`; returns the line's length.
size_t format_number_line(char* line, std::string_view prefix, long value) {
  char digits[kMaxDigits];
  char* end = digits + sizeof digits;
  char* first = end;
  bool negative = value < 0;
  unsigned long magnitude = negative ? 0UL - static_cast<unsigned long>(value) : value;
  do {
    *--first = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (negative) *--first = '-';
  return format_text_line(line, prefix, first, static_cast<size_t>(end - first));
}

}  // namespace

void trace_text(int fd, std::string_view prefix, const char* text, size_t max_len) {
  char line[kMaxLineLength];
  write_line(fd, line, format_text_line(line, prefix, text, max_len));
}

void trace_number(int fd, std::string_view prefix, long value) {
  char line[kMaxNumberLineLength];
  write_line(fd, line, format_number_line(line, prefix, value));
}

void trace_number_and_text(int fd, std::string_view number_prefix, long value,
                           std::string_view text_prefix, const char* text, size_t max_len) {
  char lines[kMaxNumberLineLength + kMaxLineLength];
  size_t number_length = format_number_line(lines, number_prefix, value);
  size_t text_length = format_text_line(lines + number_length, text_prefix, text, max_len);
  write_line(fd, lines, number_length + text_length);
}
