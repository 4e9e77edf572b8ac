// TraceOutput: a descriptor that trace lines go to, written so that the trace never holds up the
// service or its stop, and every line stays whole.
//
// It knows nothing of what the lines say: the server's trace (protocol/trace.h) writes through it.
//
// How it is written is decided once, by open(), from what the descriptor is:
//  - /dev/null: not at all (where the caller allows it), since nobody can read it there;
//  - a regular file, or anything not named below: plain blocking writes;
//  - a pipe or FIFO: non-blocking writes through a private open file description of the same
//    pipe, opened through /proc/self/fd, so that the description the process shares with its
//    parent keeps its mode. Where that open fails (no /proc), blocking writes on the shared one;
//    a pipe nobody reads then stalls the writers, as it would any program;
//  - a terminal or another character device: the same, and every write goes out alone (below);
//  - a socket: send with MSG_DONTWAIT, a flag of the call alone; every write goes out alone.
// Until open() is called, lines are written to the descriptor with plain blocking writes.
//
// A write that finds no room waits for it at most kTraceWaitMillis, then drops its lines (the
// caller counts them lost). The output then counts as stalled: until a write gets through again,
// a write that finds no room drops its lines at once, so that a stalled output costs each
// request one failed write, not a wait.
//
// Lines stay whole. Short writes (up to PIPE_BUF bytes) go out side by side: a pipe and a file
// keep each one whole. A longer line goes out alone: its writer closes a gate that short writers
// check before writing, waits until none is mid-write, and writes the line in pieces. On a
// terminal or a socket, which may take part of even a short write, every write goes out alone.
// A line whose time runs out after its first piece is cut there; the next writer ends it with a
// newline before its own lines, so that what follows still starts a line of its own.
//
// Any thread may write through a TraceOutput, at any time; open() and share_gate_with() are
// called before any thread writes.
#pragma once

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstddef>

#include "base/cache_line.h"
#include "base/mutex.h"

namespace token_base {

// The longest a write waits for room on its output, or for its turn to write alone.
constexpr int kTraceWaitMillis = 100;

// What a descriptor is, as far as writing trace lines to it goes.
enum class OutputKind { kDevNull, kRegularFile, kPipe, kCharDevice, kSocket, kOther };

// `output` is what fstat says of the descriptor; `dev_null` what stat says of /dev/null, or
// nullptr when that is unknown. /dev/null is the character device with /dev/null's numbers,
// wherever its node lies.
OutputKind classify_output(const struct stat& output, const struct stat* dev_null);

// When a writer gives up waiting: kTraceWaitMillis after its first wait began. The clock is read
// only when a writer has to wait.
class WriteDeadline {
 public:
  using Clock = std::chrono::steady_clock;

  // Starts the clock now if it has not started yet.
  void start() {
    if (!started_) at_ = Clock::now() + std::chrono::milliseconds(kTraceWaitMillis);
    started_ = true;
  }
  // After start(): the deadline, and the whole milliseconds left, rounded up (0 once passed).
  Clock::time_point at() const { return at_; }
  int millis_left() const;

 private:
  bool started_ = false;
  Clock::time_point at_{};
};

// What the writers of one output (or of two descriptors of one object) share: the gate that
// lets short writes go out side by side while a long line goes out alone, the turn to write
// alone, and whether the output is stalled. A short write pays two atomic additions on a cache
// line of its thread's own and one load of a line that changes only when a writer is alone.
class WriteGate {
 public:
  // A count of the short writes of one thread under way. Each thread has a slot (threads beyond
  // kWriterSlots share one), a cache line apart from the others.
  struct alignas(kCacheLineBytes) Slot {
    std::atomic<int> writing{0};
  };

  // Marks a short write of the calling thread as under way, unless a writer is alone: the slot
  // to pass to end_short_write(), or nullptr when the write must go out alone instead.
  Slot* begin_short_write();
  void end_short_write(Slot* slot) { slot->writing.fetch_sub(1, std::memory_order_release); }

  // Waits at most until `deadline` for the turn to write alone, or not at all when
  // `give_up_if_taken`; true when taken, and then release_turn() follows.
  bool take_turn(WriteDeadline* deadline, bool give_up_if_taken) EXCLUDES(mutex_);
  // With the turn: closes the gate to short writes and waits, at most until `deadline`, until
  // none is under way. False when one still is then.
  bool close_and_drain(WriteDeadline* deadline);
  // Opens the gate again, unless a line is left open, and hands the turn on.
  void release_turn() EXCLUDES(mutex_);

  // Whether the bytes written alone so far end inside a line. Only the turn's holder touches it.
  bool line_open() const { return line_open_; }
  void set_line_open(bool open) { line_open_ = open; }

  bool stalled() const { return stalled_.load(std::memory_order_relaxed); }
  void set_stalled(bool stalled) {
    if (this->stalled() != stalled) stalled_.store(stalled, std::memory_order_relaxed);
  }

 private:
  static constexpr int kWriterSlots = 64;  // more than the workers, the acceptor and a few tools

  Slot& slot_of_this_thread();
  bool short_write_under_way() const;

  Slot slots_[kWriterSlots];
  // Closed while a writer is alone, and while a cut line waits for its newline: short writes then
  // go out alone too. Read by every short write, written only by the turn's holder.
  alignas(kCacheLineBytes) std::atomic<bool> closed_{false};
  // Set when a write's time runs out; cleared by the next write that gets through.
  std::atomic<bool> stalled_{false};
  alignas(kCacheLineBytes) Mutex mutex_;
  CondVar turn_free_;
  bool turn_taken_ GUARDED_BY(mutex_) = false;
  bool line_open_ = false;
};

class TraceOutput {
 public:
  explicit TraceOutput(int fd) : fd_(fd), write_fd_(fd) {}
  ~TraceOutput();  // closes the private description, if any
  TraceOutput(const TraceOutput&) = delete;
  TraceOutput& operator=(const TraceOutput&) = delete;

  // Decides how lines are written from what the descriptor is. `may_discard`: on /dev/null,
  // write nothing at all.
  void open(bool may_discard);
  // For two descriptors of one pipe, file or terminal (standard output and standard error after
  // `2>&1`): lines written through this output wait for a long line of `other`, and the reverse.
  void share_gate_with(TraceOutput* other);
  // Whether lines are dropped unwritten: callers need not even format them.
  bool discards() const { return mode_ == Mode::kDiscard; }

  // Writes whole lines of at most PIPE_BUF bytes in all; the bytes written, `length` unless they
  // were dropped or cut short (a file system full). A line cut short is ended before any other.
  size_t write_lines(const char* lines, size_t length);

  // Holds the output for one writer alone, for writes that nothing may come between: the pieces
  // of a long line. It waits, for its turn and for room, kTraceWaitMillis in all.
  class Alone {
   public:
    explicit Alone(TraceOutput* output);
    ~Alone();
    Alone(const Alone&) = delete;
    Alone& operator=(const Alone&) = delete;

    // Writes `bytes`; the count written, short of `length` when they could not all be written
    // (and nothing more will be).
    size_t write(const char* bytes, size_t length);

   private:
    bool begin();

    TraceOutput* output_;
    WriteGate* gate_;
    WriteDeadline deadline_;
    bool took_turn_ = false;
    bool ready_ = false;  // the turn is had, no short write is under way, no line is left open
  };

 private:
  // How lines are written, set once by open() from what the descriptor is.
  enum class Mode {
    kDiscard,     // not at all: /dev/null, where the caller allows it
    kSideBySide,  // write(2); short writes side by side, a long line alone: a file, a pipe
    kAlone,       // write(2), every write alone: a terminal or another character device
    kSendAlone,   // send(2) with MSG_DONTWAIT | MSG_NOSIGNAL, every write alone: a socket
  };
  // What the mode asks of a write; nothing else reads mode_ (but discards()).
  bool every_write_alone() const { return mode_ == Mode::kAlone || mode_ == Mode::kSendAlone; }
  bool sends() const { return mode_ == Mode::kSendAlone; }

  // Opens a description of our own of what fd_ names, non-blocking, if the system lets us.
  void open_private_description();
  // Writes what it can of `bytes` before `deadline`; the count written.
  size_t write_within(const char* bytes, size_t length, WriteDeadline* deadline);
  // Ends the line a short write left open: at once if the output takes the newline, else before
  // the next lines, which go out alone until then.
  void end_cut_line();
  // Waits until the output takes bytes again; false when the deadline passes first or the output
  // is stalled already.
  bool wait_for_room(WriteDeadline* deadline);

  const int fd_;
  int write_fd_;                   // fd_, or the private description open() made, which we close
  Mode mode_ = Mode::kSideBySide;  // until open(): plain blocking writes
  WriteGate own_gate_;
  WriteGate* gate_ = &own_gate_;
};

}  // namespace token_base
