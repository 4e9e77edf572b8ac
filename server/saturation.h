// Saturation: the spells during which accepted connections wait because every worker is busy,
// and the lines on standard error that tell of them.
//
// A spell that begins when no such line has been written for the summary interval is told in two
// lines of its own: one when it begins, one when the queue is empty again. Spells that begin
// sooner are only counted, and summed up in one line once the interval has passed since the last
// line: a pool at the edge of its capacity, whose spells come and go by the hundred, writes a line
// an interval instead of two a spell.
//
// Not thread-safe: TokenServer keeps it under sockets_mutex, beside the socket queue whose changes
// it is told of, and writes the lines due_line hands out after unlocking, on the accept loop only,
// so that a closing line never overtakes its opening line.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace token_server {

class Saturation {
 public:
  using Clock = std::chrono::steady_clock;

  // For a pool of `workers`; the first spell after `start` is told in lines of its own.
  Saturation(size_t workers, std::chrono::seconds summary_interval, Clock::time_point start);

  // An accepted connection was queued; `every_worker_busy` when no idle worker was left for it.
  void on_queued(bool every_worker_busy, Clock::time_point now);
  // A worker took a queued connection: `wait` is how long it waited when it found every worker
  // busy, nullopt when it did not. True when that emptied the queue and ended a spell whose
  // closing line is now due.
  bool on_taken(std::optional<Clock::duration> wait, bool queue_empty);
  // An idle connection was closed to give its worker to a waiting one.
  void on_idle_closed();

  // The next line due at `now`, counted as written then: an opening line, then a closing line,
  // then the summary once the interval has passed since the last line. Empty when none is due.
  std::string due_line(Clock::time_point now);

 private:
  // Connections that found every worker busy, the longest any of them waited, and the idle
  // connections closed meanwhile to serve them.
  struct WaitCounts {
    uint64_t waited = 0;
    Clock::duration longest_wait{};
    uint64_t idle_closed = 0;
  };

  // The counts the ongoing spell adds to: its own, or the summary's.
  WaitCounts* counts_of_spell();
  std::string closing_line();
  std::string summary_line();

  const size_t workers_;
  const std::chrono::seconds summary_interval_;
  Clock::time_point last_line_;  // when the last line was handed out
  bool ongoing_ = false;
  bool own_lines_ = false;    // the ongoing or last spell is told in lines of its own
  bool opening_due_ = false;  // its opening line is not handed out yet
  bool closing_due_ = false;  // such a spell is over; its closing line is not handed out yet
  bool in_summary_ = false;   // the ongoing spell, told in no line of its own, is summed
  WaitCounts own_;            // of the spell told in lines of its own
  // The spells told in no line of their own since the last summary, and their connections.
  uint64_t summed_spells_ = 0;
  WaitCounts summed_;
};

}  // namespace token_server
