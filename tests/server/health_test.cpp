// What /healthz answers, condition by condition.
#include "server/health.h"

#include <gtest/gtest.h>

namespace token_server {
namespace {

using std::chrono::milliseconds;

TEST(Health, AnswersTheFirstProblemFound) {
  const milliseconds kTurn{200};
  const milliseconds kStalled = kWorkerStallLimit + milliseconds(1);
  struct Row {
    HealthSigns signs;
    const char* problem;
  };
  for (const Row& row : {
           Row{{false, kTurn, {}, milliseconds(60'000)}, ""},       // nobody waits: idle is fine
           Row{{false, kTurn, kStalled, milliseconds(100)}, ""},    // waits, but workers get on
           Row{{false, kTurn, milliseconds(4'000), kStalled}, ""},  // not waited long yet
           Row{{false, kTurn, kStalled, kStalled}, kHealthWorkersStalled},
           Row{{false, kAcceptLoopStallLimit, {}, {}}, kHealthAcceptLoopStalled},
           Row{{true, kAcceptLoopStallLimit, kStalled, kStalled}, kHealthStopping},
       }) {
    EXPECT_EQ(health_problem(row.signs), row.problem)
        << row.signs.stopping << " " << row.signs.longest_wait.count();
  }
}

}  // namespace
}  // namespace token_server
