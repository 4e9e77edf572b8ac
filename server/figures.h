// Figures: the server's counts and gauges, summed over the workers when asked. The one source of
// the figures line (SIGUSR1), the status line a service manager shows and the metrics endpoint.
// Which figures there are, and how each is named and shown, is said once, in the figure table
// (server/figure_table.h).
//
// A plain value: taken by TokenServer::figures on any thread, then read without a lock. Each
// count is a sum of relaxed loads of per-worker counters, so two counts may disagree by the
// requests being served while they were read.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "protocol/request_counters.h"
#include "server/figure_table.h"

namespace token_server {

constexpr uint64_t kNanosPerSecond = 1'000'000'000;

struct Figures {
#define TOKEN_SERVER_FIGURE_FIELD(member, ...) uint64_t member = 0;
  TOKEN_SERVER_FIGURES(TOKEN_SERVER_FIGURE_FIELD, TOKEN_SERVER_FIGURE_FIELD,
                       TOKEN_SERVER_FIGURE_FIELD, TOKEN_SERVER_NO_FIGURE)
#undef TOKEN_SERVER_FIGURE_FIELD
  bool state_kept = false;  // the state is kept on disk (STATE_DIRECTORY)
  // Replies by service time, as RequestCounters keeps them (bucket counts, not cumulative).
  uint64_t service_times[kServiceTimeBuckets] = {};
  uint64_t service_nanos = 0;
};

enum class FigureUnit { kCount, kNanos };

// A row of the figure table, as the code that shows the figures reads it.
struct FigureRow {
  uint64_t Figures::*member;
  // The worker's counter that the figure sums; nullptr for a figure the server reads itself.
  std::atomic<uint64_t> RequestCounters::*worker_count;
  bool only_with_state;
  FigureUnit unit;
  const char* type;  // "" for a figure only the line shows
  const char* line_name;
  const char* metric;
  const char* help;
};

inline constexpr FigureRow kFigureRows[] = {
#define TOKEN_SERVER_ROW(member, counter, with_state, unit, type, line, metric, help) \
  {&Figures::member, counter, with_state, FigureUnit::k##unit, #type, line, metric, help},
#define TOKEN_SERVER_COUNT_ROW(member, ...) \
  TOKEN_SERVER_ROW(member, &RequestCounters::member, false, __VA_ARGS__)
#define TOKEN_SERVER_FIGURE_ROW(member, ...) TOKEN_SERVER_ROW(member, nullptr, false, __VA_ARGS__)
#define TOKEN_SERVER_STATE_ROW(member, ...) TOKEN_SERVER_ROW(member, nullptr, true, __VA_ARGS__)
#define TOKEN_SERVER_ALSO_ROW(member, line_name) \
  TOKEN_SERVER_ROW(member, nullptr, false, Count, , line_name, nullptr, nullptr)
    TOKEN_SERVER_FIGURES(TOKEN_SERVER_COUNT_ROW, TOKEN_SERVER_FIGURE_ROW, TOKEN_SERVER_STATE_ROW,
                         TOKEN_SERVER_ALSO_ROW)
#undef TOKEN_SERVER_COUNT_ROW
#undef TOKEN_SERVER_FIGURE_ROW
#undef TOKEN_SERVER_STATE_ROW
#undef TOKEN_SERVER_ALSO_ROW
#undef TOKEN_SERVER_ROW
};

// Whether `row` is shown with `figures`: a state figure only while the state is kept.
inline bool is_shown(const FigureRow& row, const Figures& figures) {
  return !row.only_with_state || figures.state_kept;
}

}  // namespace token_server
