#include "protocol/trace.h"

#include <sys/uio.h>

#include <cstring>

#include "base/mutex.h"
#include "protocol/request_counters.h"

namespace {

constexpr size_t kMaxDigits = 24;  // a long in decimal, with its sign

// A pipe keeps writes of up to PIPE_BUF bytes whole by itself; longer lines take this lock so
// that they cannot interleave with each other.
Mutex long_line_mutex;

bool write_long_line(TraceOutput* output, std::string_view prefix, const char* text,
                     size_t text_length) {
  iovec parts[] = {{const_cast<char*>(prefix.data()), prefix.size()},
                   {const_cast<char*>(text), text_length},
                   {const_cast<char*>("\n"), 1}};
  MutexLock lock(&long_line_mutex);
  return output->write(parts, 3);
}

TraceOutput* output_for(int fd) { return fd == kErrorFd ? &error_output : &trace_output; }

}  // namespace

TraceOutput trace_output(kTraceFd);
TraceOutput error_output(kErrorFd);

void open_trace_outputs() {
  trace_output.open(/*may_discard=*/true);
  error_output.open(/*may_discard=*/false);
}

void TraceBuffer::append_number(std::string_view prefix, long value) {
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
  append_text(prefix, first, static_cast<size_t>(end - first));
}

void TraceBuffer::append_text(std::string_view prefix, const char* text, size_t max_len) {
  size_t text_length = strnlen(text, max_len);
  size_t line_length = prefix.size() + text_length + 1;
  if (line_length > kCapacity - length_) flush();
  if (line_length > kCapacity) {
    if (!write_long_line(output_, prefix, text, text_length)) lost(1);
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
  if (!output_->write(&all, 1)) lost(line_count_);
  length_ = 0;
  line_count_ = 0;
}

void TraceBuffer::lost(uint64_t lines) {
  if (lost_lines_ != nullptr) count(*lost_lines_, lines);
}

void trace_line(TraceOutput* output, std::string_view line) {
  TraceBuffer out(output);
  out.add_text("", line.data(), line.size());
  out.flush();
}

void trace_line(int fd, std::string_view line) { trace_line(output_for(fd), line); }

void report_error(TraceBuffer* pending, std::string_view line) {
  pending->flush();
  trace_line(kErrorFd, line);
}
