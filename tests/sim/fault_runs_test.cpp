#include "sim/fault_runs.h"

#include <gtest/gtest.h>

namespace wick::sim {
namespace {

TEST(FaultRuns, EveryRunEndsWithTheRightImageOrACleanFailure) {
  FaultRunOptions options;
  options.runs = 8;
  options.seed = 11;
  std::string log;
  options.log = [&](const std::string& line) { log += line + "\n"; };
  FaultRunCounts counts = RunFaultRuns(options);
  EXPECT_EQ(counts.runs, 8);
  EXPECT_EQ(counts.wrong, 0) << log;
  EXPECT_EQ(counts.hung, 0) << log;
  EXPECT_EQ(counts.succeeded + counts.failedCleanly, 8) << log;
  EXPECT_GT(counts.succeeded, 0) << log;
}

}  // namespace
}  // namespace wick::sim
