// A process's processor time from /proc/PID/stat, for the tests and the load generator.
#pragma once

#include <sys/types.h>

#include <fstream>
#include <optional>
#include <sstream>
#include <string>

namespace token_server {

// User plus system time that process `pid` has used, in clock ticks (sysconf(_SC_CLK_TCK) to a
// second); nullopt when its stat line cannot be read.
inline std::optional<long long> process_cpu_ticks(pid_t pid) {
  std::ifstream stat_file("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  if (!std::getline(stat_file, stat)) return std::nullopt;
  // The command name in parentheses may hold blanks; the fields after it are plain.
  size_t name_end = stat.rfind(')');
  if (name_end == std::string::npos) return std::nullopt;
  std::istringstream fields(stat.substr(name_end + 1));
  // After the name come state (field 3) through cstime; utime and stime are fields 14 and 15.
  constexpr int kFieldsBeforeUtime = 11;
  std::string skipped;
  for (int i = 0; i < kFieldsBeforeUtime; ++i) fields >> skipped;
  long long user_ticks = 0;
  long long system_ticks = 0;
  if (!(fields >> user_ticks >> system_ticks)) return std::nullopt;
  return user_ticks + system_ticks;
}

}  // namespace token_server
