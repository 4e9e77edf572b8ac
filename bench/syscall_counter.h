// Counts the system calls of another process, all its threads, over a window the caller opens
// and closes: `perf stat` is attached to the process with its counters disabled, and enabled and
// disabled through perf's control pipe, each step waiting for perf's acknowledgement. The counts
// come from the kernel's syscall tracepoints, so the process runs at nearly full speed (unlike
// under a tracer that stops it at every call). Needs perf, root (or a permissive
// perf_event_paranoid) and tracefs at /sys/kernel/tracing.
//
// Only the threads that exist when counting starts are counted. One thread owns a counter.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The system calls counted by name, each a "syscalls:sys_enter_<name>" tracepoint; the total
// comes from "raw_syscalls:sys_enter", and what it holds beyond these is reported as "other".
const std::vector<std::string_view>& counted_syscalls();

// Counts by tracepoint name as perf names them ("raw_syscalls:sys_enter",
// "syscalls:sys_enter_recvfrom").
using SyscallCounts = std::map<std::string, uint64_t, std::less<>>;

// Reads the counts from `perf stat -x,` output: one "value,unit,event,..." line per event.
// "<not counted>" (the event never ran: the threads slept throughout) counts 0; lines without a
// count ("<not supported>", comments, perf's own notes) are left out.
SyscallCounts parse_perf_counts(std::string_view perf_output);

// The counts by short name: "all" (the total) first, then each of counted_syscalls(), then
// "other" for what the total holds beyond them. A call perf did not report counts 0.
std::vector<std::pair<std::string_view, uint64_t>> counts_by_call(const SyscallCounts& counts);

class SyscallCounter {
 public:
  SyscallCounter() = default;
  ~SyscallCounter();
  SyscallCounter(const SyscallCounter&) = delete;
  SyscallCounter& operator=(const SyscallCounter&) = delete;

  // Starts perf attached to every thread of `pid` and waits until it is ready to count. False,
  // with a message on stderr, when perf cannot be started or does not answer.
  bool start(pid_t pid);
  // Opens and closes the counting window; each returns once perf has acted on it.
  bool enable();
  bool disable();
  // Stops perf and returns what it counted; nullopt when it failed.
  std::optional<SyscallCounts> finish();

 private:
  // Sends one command and waits up to `millis` for its acknowledgement.
  bool command(const char* text, int millis);
  // What perf printed, up to its end (or a time-out).
  std::string read_output();
  void stop_perf();

  pid_t perf_pid_ = -1;
  int control_fd_ = -1;  // perf reads its commands and answers "ack" here
  int output_fd_ = -1;   // all that perf prints, its counts when it ends
};
