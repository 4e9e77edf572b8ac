// The lines that tell of spells in which every worker is busy, event by event on a clock of the
// test's own.
#include "server/saturation.h"

#include <gtest/gtest.h>

namespace token_server {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// A spell told in its own two lines; the spells within the interval after it summed in one line,
// with their waits and idle connections closed; a closing line still due when the next spell
// begins comes first, and that spell is summed.
TEST(Saturation, OwnLinesForASpellThenOneSummaryAnIntervalForTheSpellsAfterIt) {
  const Saturation::Clock::time_point start{};
  Saturation saturation(2, seconds(10), start);
  saturation.on_queued(false, start);
  EXPECT_EQ(saturation.due_line(start), "");
  saturation.on_queued(true, start + milliseconds(1));
  EXPECT_EQ(saturation.due_line(start + milliseconds(1)),
            "all 2 workers busy: connections are waiting");
  EXPECT_TRUE(saturation.on_taken(milliseconds(30), true));
  EXPECT_EQ(saturation.due_line(start + milliseconds(31)),
            "connections no longer waiting: 1 waited, longest wait 30 ms");

  for (int spell = 1; spell <= 2; ++spell) {
    saturation.on_queued(true, start + seconds(spell));
    saturation.on_idle_closed();
    EXPECT_FALSE(saturation.on_taken(milliseconds(5 * spell), true));
  }
  EXPECT_EQ(saturation.due_line(start + seconds(10)), "");  // the interval has not passed
  EXPECT_EQ(saturation.due_line(start + seconds(11)),
            "workers busy in 2 spells over the last 10 s: 2 connections waited, longest wait "
            "10 ms, 2 idle connections closed");
  EXPECT_EQ(saturation.due_line(start + seconds(30)), "");

  saturation.on_queued(true, start + seconds(30));
  EXPECT_NE(saturation.due_line(start + seconds(30)), "");
  EXPECT_TRUE(saturation.on_taken(std::nullopt, true));
  saturation.on_queued(true, start + seconds(40));
  EXPECT_EQ(saturation.due_line(start + seconds(40)),
            "connections no longer waiting: 0 waited, longest wait 0 ms");
  EXPECT_EQ(saturation.due_line(start + seconds(40)), "");
  saturation.on_taken(milliseconds(2), true);
  EXPECT_EQ(saturation.due_line(start + seconds(50)),
            "workers busy in 1 spell over the last 10 s: 1 connection waited, longest wait 2 ms");
}

}  // namespace
}  // namespace token_server
