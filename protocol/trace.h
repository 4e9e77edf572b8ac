// Trace output: plain lines on standard output (requests and replies) and standard error.
//
// Each line is formatted whole, newline included, and written with one call, so that lines of
// different workers never tear each other; nothing is buffered, so a line is out as soon as it is
// written. A line that cannot be written (say, standard output is a closed pipe) is dropped: the
// trace is lost, the service goes on.
#pragma once

#include <cstddef>
#include <string_view>

constexpr int kTraceFd = 1;  // standard output
constexpr int kErrorFd = 2;  // standard error

// Writes `prefix`, then `text` up to its first NUL byte (at most `max_len` bytes), then '\n'.
void trace_text(int fd, std::string_view prefix, const char* text, size_t max_len);

// Writes `prefix`, then `value` in decimal, then '\n'.
void trace_number(int fd, std::string_view prefix, long value);

// Writes the line trace_number would, then the line trace_text would, with one call: for two
// lines that are produced back to back, one system call instead of two.
void trace_number_and_text(int fd, std::string_view number_prefix, long value,
                           std::string_view text_prefix, const char* text, size_t max_len);

// Writes `line` (up to its first NUL, at most a buffer's length) and a '\n'. The line is passed
// as the text, since a prefix is cut at a few dozen bytes.
inline void trace_line(int fd, std::string_view line) {
  trace_text(fd, "", line.data(), line.size());
}
