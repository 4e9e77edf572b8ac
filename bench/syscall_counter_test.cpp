// Reading perf's counts: a misread line would put a wrong system call count in every table.
#include "bench/syscall_counter.h"

#include <gtest/gtest.h>

namespace {

TEST(PerfCounts, ReadsCountsAndSkipsWhatHoldsNone) {
  SyscallCounts counts = parse_perf_counts(
      "# started on Mon Dec  7 15:17:51 2026\n"
      "\n"
      "Events enabled\n"
      "91234,,raw_syscalls:sys_enter,1500012345,100.00,,\n"
      "<not counted>,,syscalls:sys_enter_futex,0,100.00,,\n"
      "<not supported>,,syscalls:sys_enter_ppoll,0,100.00,,\n"
      "12x,,syscalls:sys_enter_read,0,100.00,,\n"
      "30411,,syscalls:sys_enter_recvfrom,1500012345,100.00,,Events disabled\n"
      "7,,syscalls:sys_enter_close");
  EXPECT_EQ(counts, (SyscallCounts{{"raw_syscalls:sys_enter", 91234},
                                   {"syscalls:sys_enter_futex", 0},
                                   {"syscalls:sys_enter_recvfrom", 30411},
                                   {"syscalls:sys_enter_close", 7}}));
}

TEST(PerfCounts, OtherIsWhatTheTotalHoldsBeyondTheNamedCalls) {
  auto by_call = counts_by_call({{"raw_syscalls:sys_enter", 10},
                                 {"syscalls:sys_enter_recvfrom", 3},
                                 {"syscalls:sys_enter_futex", 2}});
  ASSERT_EQ(by_call.size(), counted_syscalls().size() + 2);
  EXPECT_EQ(by_call.front(), (std::pair<std::string_view, uint64_t>{"all", 10}));
  EXPECT_EQ(by_call.back(), (std::pair<std::string_view, uint64_t>{"other", 5}));
  // A total below the named calls (never from one window) must not wrap around.
  EXPECT_EQ(counts_by_call({{"syscalls:sys_enter_read", 4}}).back().second, 0u);
}

}  // namespace
