#include "protocol/trace.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>

#include "protocol/request_counters.h"

namespace token_server {

namespace {

constexpr size_t kMaxDigits = 24;  // a long in decimal, with its sign

// How a CR or an LF inside a line is written, so that no byte a client sends can end a trace line
// and start a forged one. JSON has no \x escape, so in a valid request these stand out.
constexpr std::string_view kEscapedCr = "\\x0d";
constexpr std::string_view kEscapedLf = "\\x0a";
static_assert(kEscapedCr.size() == kEscapedLf.size());
constexpr size_t kEscapeLength = kEscapedCr.size();

// A line longer than PIPE_BUF goes out alone, in pieces of this size: most in one write, a line
// of escapes in a few.
constexpr size_t kLongLinePiece = 4 * PIPE_BUF;

TraceOutput* output_for(int fd) { return fd == kErrorFd ? &error_output : &trace_output; }

// Whether two descriptors name one pipe, file, socket or terminal, as after `2>&1`.
bool same_object(int fd, int other_fd) {
  struct stat one;
  struct stat other;
  return ::fstat(fd, &one) == 0 && ::fstat(other_fd, &other) == 0 && one.st_dev == other.st_dev &&
         one.st_ino == other.st_ino;
}

}  // namespace

// A line as it is written: the prefix, the text with each CR and LF escaped but a CR LF that ends
// the text (a request's own, a reply's), and '\n'. The escapes are found with memchr, which the
// usual text, free of them, passes through in one sweep each.
class TraceLine {
 public:
  TraceLine(std::string_view prefix, const char* text, size_t text_length)
      : prefix_(prefix), text_(text), text_length_(text_length) {
    bool ends_with_crlf =
        text_length >= 2 && text[text_length - 2] == '\r' && text[text_length - 1] == '\n';
    escapable_end_ = ends_with_crlf ? text_length - 2 : text_length;
    next_cr_ = find(0, '\r');
    next_lf_ = find(0, '\n');
    length_ = prefix.size() + text_length + 1;
    if (has_escapes()) length_ += (kEscapeLength - 1) * count_escapes();
  }

  size_t length() const { return length_; }
  bool has_escapes() const { return std::min(next_cr_, next_lf_) < escapable_end_; }
  bool done() const { return newline_written_; }

  // Copies the next bytes of the line into `out`, at most `room`, never part of an escape;
  // returns how many.
  size_t fill(char* out, size_t room) {
    size_t filled = copy(out, room, prefix_.data(), prefix_.size(), &prefix_written_);
    if (prefix_written_ < prefix_.size()) return filled;
    while (text_written_ < text_length_) {
      size_t escape_at = std::min(next_cr_, next_lf_);
      if (escape_at == escapable_end_ || text_written_ < escape_at) {
        size_t run_end = escape_at < escapable_end_ ? escape_at : text_length_;
        filled += copy(out + filled, room - filled, text_, run_end, &text_written_);
        if (text_written_ < run_end) return filled;
        continue;
      }
      if (room - filled < kEscapeLength) return filled;
      bool is_cr = escape_at == next_cr_;
      std::memcpy(out + filled, (is_cr ? kEscapedCr : kEscapedLf).data(), kEscapeLength);
      filled += kEscapeLength;
      ++text_written_;
      (is_cr ? next_cr_ : next_lf_) = find(text_written_, is_cr ? '\r' : '\n');
    }
    if (filled < room && !newline_written_) {
      out[filled++] = '\n';
      newline_written_ = true;
    }
    return filled;
  }

 private:
  // The first `byte` at or after `from` among the escapable bytes; escapable_end_ when none.
  size_t find(size_t from, char byte) const {
    if (from >= escapable_end_) return escapable_end_;
    const void* found = std::memchr(text_ + from, byte, escapable_end_ - from);
    return found != nullptr ? static_cast<size_t>(static_cast<const char*>(found) - text_)
                            : escapable_end_;
  }

  size_t count_escapes() const {
    size_t escapes = 0;
    for (size_t at = next_cr_; at < escapable_end_; at = find(at + 1, '\r')) ++escapes;
    for (size_t at = next_lf_; at < escapable_end_; at = find(at + 1, '\n')) ++escapes;
    return escapes;
  }

  // Copies from source[*written, end) as much as `room` takes; advances *written.
  static size_t copy(char* out, size_t room, const char* source, size_t end, size_t* written) {
    size_t count = std::min(end - *written, room);
    // An empty view may carry no pointer at all, which memcpy must not be given.
    if (count > 0) std::memcpy(out, source + *written, count);
    *written += count;
    return count;
  }

  std::string_view prefix_;
  const char* text_;
  size_t text_length_;
  size_t escapable_end_;  // bytes before it are escaped when CR or LF: all but a final CR LF
  size_t length_;
  size_t prefix_written_ = 0;
  size_t text_written_ = 0;
  bool newline_written_ = false;
  size_t next_cr_;  // the next CR to escape at or after text_written_, or escapable_end_
  size_t next_lf_;  // likewise for LF
};

TraceOutput trace_output(kTraceFd);
TraceOutput error_output(kErrorFd);

void open_trace_outputs() {
  trace_output.open(/*may_discard=*/true);
  error_output.open(/*may_discard=*/false);
  // One gate for both, so that an error line never lands inside a long trace line.
  if (same_object(kTraceFd, kErrorFd)) error_output.share_gate_with(&trace_output);
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
  append_plain(prefix, first, static_cast<size_t>(end - first));
}

void TraceBuffer::append_text(std::string_view prefix, const char* text, size_t max_len) {
  size_t text_length = strnlen(text, max_len);
  TraceLine line(prefix, text, text_length);
  if (line.has_escapes()) {
    append_line(&line);
  } else {
    append_plain(prefix, text, text_length);
  }
}

void TraceBuffer::append_plain(std::string_view prefix, const char* text, size_t text_length) {
  size_t line_length = prefix.size() + text_length + 1;
  if (line_length > kCapacity - length_) flush();
  if (line_length > kCapacity) {
    TraceLine line(prefix, text, text_length);
    write_long_line(&line);
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

void TraceBuffer::append_line(TraceLine* line) {
  if (line->length() > kCapacity - length_) flush();
  if (line->length() > kCapacity) {
    write_long_line(line);
    return;
  }
  length_ += line->fill(lines_ + length_, line->length());
  ++line_count_;
}

void TraceBuffer::write_long_line(TraceLine* line) {
  TraceOutput::Alone alone(output_);
  char piece[kLongLinePiece];
  while (!line->done()) {
    if (!alone.write(piece, line->fill(piece, sizeof piece))) {
      lost(1);
      return;
    }
  }
}

void TraceBuffer::flush() {
  if (length_ == 0) return;
  if (!output_->write_lines(lines_, length_)) lost(line_count_);
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

}  // namespace token_server
