// TraceOutput: a descriptor that trace lines go to, and how they are written to it.
//
// How is decided once, by open(), from what the descriptor is: nothing is written to /dev/null,
// since nobody can read it there. Until open() is called, lines are written to the descriptor
// as it is.
//
// Any thread may write through a TraceOutput; open() is called before any thread does.
#pragma once

#include <sys/stat.h>
#include <sys/uio.h>

// What a descriptor is, as far as writing trace lines to it goes.
enum class OutputKind { kDevNull, kRegularFile, kPipe, kCharDevice, kSocket, kOther };

// `output` is what fstat says of the descriptor; `dev_null` what stat says of /dev/null, or
// nullptr when that is unknown. /dev/null is the character device with /dev/null's numbers,
// wherever its node lies.
OutputKind classify_output(const struct stat& output, const struct stat* dev_null);

class TraceOutput {
 public:
  explicit TraceOutput(int fd) : fd_(fd) {}
  TraceOutput(const TraceOutput&) = delete;
  TraceOutput& operator=(const TraceOutput&) = delete;

  // Decides how lines are written from what the descriptor is. `may_discard`: on /dev/null,
  // write nothing at all.
  void open(bool may_discard);
  // Whether lines are dropped unwritten: callers need not even format them.
  bool discards() const { return discards_; }
  // Writes every byte of `parts`, whole lines only. False when they could not be written.
  bool write(iovec* parts, int count);

 private:
  const int fd_;
  bool discards_ = false;
};
