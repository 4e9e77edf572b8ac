#include "protocol/trace.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>

#include "protocol/request_counters.h"

namespace token_server {

namespace {

constexpr size_t kMaxDigits = 24;  // a long in decimal, with its sign

// How a control byte inside a line is written (\x0d for CR), so that no byte a client sends can
// end a trace line, start a forged one or steer a terminal. JSON has no \x escape, so in a valid
// request these stand out.
constexpr std::string_view kEscapePrefix = "\\x";
constexpr size_t kEscapeLength = kEscapePrefix.size() + 2;  // two hex digits
constexpr char kHexDigits[] = "0123456789abcdef";

// Control bytes, DEL among them; NUL never reaches here, as it ends the text shown.
constexpr bool is_control(char byte) {
  auto value = static_cast<unsigned char>(byte);
  return value < 0x20 || value == static_cast<unsigned char>(kDeleteByte);
}

size_t count_controls(const char* text, size_t length) {
  size_t controls = 0;
  for (size_t i = 0; i < length; ++i) controls += is_control(text[i]) ? 1 : 0;
  return controls;
}

// Sixteen bytes compared at once (SSE2 or NEON): the usual text has no control byte, and is
// passed in a few steps per line.
using Lanes = unsigned char __attribute__((vector_size(16)));
constexpr size_t kLaneCount = sizeof(Lanes);

bool lanes_hold_control(const char* sixteen) {
  Lanes lanes;
  std::memcpy(&lanes, sixteen, kLaneCount);
  auto control = (lanes < 0x20) | (lanes == static_cast<unsigned char>(kDeleteByte));
  uint64_t halves[2];
  std::memcpy(halves, &control, sizeof halves);
  return (halves[0] | halves[1]) != 0;
}

bool has_control(const char* text, size_t length) {
  if (length < kLaneCount) {
    for (size_t i = 0; i < length; ++i) {
      if (is_control(text[i])) return true;
    }
    return false;
  }
  for (size_t at = 0; at + kLaneCount <= length; at += kLaneCount) {
    if (lanes_hold_control(text + at)) return true;
  }
  return lanes_hold_control(text + length - kLaneCount);  // the last bytes, overlapping
}

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

// A line as it is written: the prefix, the text with each control byte escaped but a CR LF that
// ends the text (a request's own, a reply's), and '\n'.
class TraceLine {
 public:
  TraceLine(std::string_view prefix, const char* text, size_t text_length)
      : prefix_(prefix), text_(text), text_length_(text_length) {
    bool ends_with_crlf =
        text_length >= 2 && text[text_length - 2] == '\r' && text[text_length - 1] == '\n';
    escapable_end_ = ends_with_crlf ? text_length - 2 : text_length;
    escapes_ = has_control(text, escapable_end_) ? count_controls(text, escapable_end_) : 0;
    next_escape_ = escapes_ > 0 ? find_control(0) : escapable_end_;
    length_ = prefix.size() + text_length + 1 + (kEscapeLength - 1) * escapes_;
  }

  size_t length() const { return length_; }
  bool has_escapes() const { return escapes_ > 0; }
  bool done() const { return newline_written_; }

  // Copies the next bytes of the line into `out`, at most `room`, never part of an escape;
  // returns how many.
  size_t fill(char* out, size_t room) {
    size_t filled = copy(out, room, prefix_.data(), prefix_.size(), &prefix_written_);
    if (prefix_written_ < prefix_.size()) return filled;
    while (text_written_ < text_length_) {
      if (next_escape_ == escapable_end_ || text_written_ < next_escape_) {
        size_t run_end = next_escape_ < escapable_end_ ? next_escape_ : text_length_;
        filled += copy(out + filled, room - filled, text_, run_end, &text_written_);
        if (text_written_ < run_end) return filled;
        continue;
      }
      if (room - filled < kEscapeLength) return filled;
      auto byte = static_cast<unsigned char>(text_[next_escape_]);
      char* escape = out + filled;
      std::memcpy(escape, kEscapePrefix.data(), kEscapePrefix.size());
      escape[kEscapePrefix.size()] = kHexDigits[byte >> 4];
      escape[kEscapePrefix.size() + 1] = kHexDigits[byte & 0xf];
      filled += kEscapeLength;
      ++text_written_;
      next_escape_ = find_control(text_written_);
    }
    if (filled < room && !newline_written_) {
      out[filled++] = '\n';
      newline_written_ = true;
    }
    return filled;
  }

 private:
  // The first control byte at or after `from` among the escapable bytes; escapable_end_ when none.
  size_t find_control(size_t from) const {
    while (from < escapable_end_ && !is_control(text_[from])) ++from;
    return from;
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
  size_t escapable_end_;  // bytes before it are escaped when control bytes: all but a final CR LF
  size_t escapes_;
  size_t length_;
  size_t prefix_written_ = 0;
  size_t text_written_ = 0;
  bool newline_written_ = false;
  size_t next_escape_;  // the next control byte to escape at or after text_written_
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

void TraceBuffer::append_text(std::string_view prefix, const char* text, size_t text_length) {
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
    size_t length = line->fill(piece, sizeof piece);
    if (alone.write(piece, length) != length) {
      lost(1);
      return;
    }
  }
}

void TraceBuffer::flush() {
  if (length_ == 0) return;
  size_t written = output_->write_lines(lines_, length_);
  // A line counts as written only when whole, its newline included.
  if (written < length_)
    lost(line_count_ - static_cast<uint64_t>(std::count(lines_, lines_ + written, '\n')));
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
