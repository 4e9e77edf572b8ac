#include "protocol/trace.h"

#include <errno.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cstring>

#include "base/mutex.h"
#include "protocol/request_counters.h"

namespace {

constexpr size_t kMaxDigits = 24;  // a long in decimal, with its sign

// A pipe keeps writes of up to PIPE_BUF bytes whole by itself; longer lines take this lock so
// that they cannot interleave with each other.
Mutex long_line_mutex;

// Writes every byte of `parts`, resuming after a partial write. False when a write fails: the
// lines are lost, never the service.
bool write_all(int fd, iovec* parts, int count) {
  while (count > 0) {
    ssize_t written = ::writev(fd, parts, count);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    size_t left = static_cast<size_t>(written);
    for (; count > 0 && left >= parts->iov_len; ++parts, --count) left -= parts->iov_len;
    if (count > 0) {
      parts->iov_base = static_cast<char*>(parts->iov_base) + left;
      parts->iov_len -= left;
    }
  }
  return true;
}

bool write_long_line(int fd, std::string_view prefix, const char* text, size_t text_length) {
  iovec parts[] = {{const_cast<char*>(prefix.data()), prefix.size()},
                   {const_cast<char*>(text), text_length},
                   {const_cast<char*>("\n"), 1}};
  MutexLock lock(&long_line_mutex);
  return write_all(fd, parts, 3);
}

}  // namespace

void TraceBuffer::add_number(std::string_view prefix, long value) {
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
  add_text(prefix, first, static_cast<size_t>(end - first));
}

void TraceBuffer::add_text(std::string_view prefix, const char* text, size_t max_len) {
  size_t text_length = strnlen(text, max_len);
  size_t line_length = prefix.size() + text_length + 1;
  if (line_length > kCapacity - length_) flush();
  if (line_length > kCapacity) {
    if (!write_long_line(fd_, prefix, text, text_length)) lost(1);
    return;
  }
  char* line = lines_ + length_;
  // An empty view may carry no pointer at all, which memcpy must not be given.
  if (!prefix.empty()) std::memcpy(line, prefix.data(), prefix.size());
  std::memcpy(line + prefix.size(), text, text_length);
  line[line_length - 1] = '\n';
  length_ += line_length;
  ++line_count_;
}

void TraceBuffer::flush() {
  if (length_ == 0) return;
  iovec all = {lines_, length_};
  if (!write_all(fd_, &all, 1)) lost(line_count_);
  length_ = 0;
  line_count_ = 0;
}

void TraceBuffer::lost(uint64_t lines) {
  if (lost_lines_ != nullptr) count(*lost_lines_, lines);
}

void trace_line(int fd, std::string_view line) {
  TraceBuffer out(fd);
  out.add_text("", line.data(), line.size());
  out.flush();
}

void report_error(TraceBuffer* pending, std::string_view line) {
  pending->flush();
  trace_line(kErrorFd, line);
}
