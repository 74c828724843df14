// Many simulated upgrades in a row, each against a box with random faults, and a verdict on each:
// the box got exactly the expected image and the tool said so, or the run failed cleanly with the
// failure in words. Never a hang, and never a wrong image reported as success.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>

namespace wick::sim {

struct FaultRunOptions {
  int runs = 200;
  uint32_t seed = 1;
  // The tool's pacing runs at this share of real time (the box answers without pauses anyway).
  double pacing = 0.05;
  // A run that has not ended after this long counts as hung.
  int runLimitMs = 60000;
  // One line per run, if set.
  std::function<void(const std::string&)> log;
};

struct FaultRunCounts {
  int runs = 0;
  int succeeded = 0;      // the box holds the expected image and the tool reported the final CRC
  int failedCleanly = 0;  // the tool reported a failure in words, the box did not accept an image
  int wrong = 0;          // a wrong image, or a failed box while the tool reported success
  int hung = 0;
  std::map<std::string, int> failures;  // clean failures by the tool's reason
};

FaultRunCounts RunFaultRuns(const FaultRunOptions& options);

}  // namespace wick::sim
