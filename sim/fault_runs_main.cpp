// wickbox-faults: many upgrades against the simulated box with random faults, and their counts.
#include <CLI/CLI.hpp>
#include <cstdio>

#include "sim/fault_runs.h"

int main(int argc, char** argv) {
  wick::sim::FaultRunOptions options;
  bool quiet = false;
  CLI::App app{
      "wickbox-faults runs many upgrades against the simulated box, each with random faults "
      "(noise, bad headers, resends, corrupted blocks, vanishing, silence, floods of garbage, bad "
      "trailers), and checks that each ends with the box holding exactly the expected image, or "
      "with a clean failure in words: never a hang, never a wrong image reported as success.",
      "wickbox-faults"};
  app.add_option("-n,--runs", options.runs, "How many runs")->capture_default_str();
  app.add_option("--seed", options.seed, "Seed of the random faults")->capture_default_str();
  app.add_option("--pacing", options.pacing, "The tool's pacing as a share of real time")
      ->capture_default_str()
      ->check(CLI::Range(0.001, 1.0));
  app.add_flag("-q,--quiet", quiet, "Only the counts");
  CLI11_PARSE(app, argc, argv);
  if (!quiet) {
    options.log = [](const std::string& line) {
      std::printf("%s\n", line.c_str());
      std::fflush(stdout);
    };
  }
  auto c = wick::sim::RunFaultRuns(options);
  std::printf("runs %d: succeeded %d, failed cleanly %d, wrong %d, hung %d\n", c.runs, c.succeeded,
              c.failedCleanly, c.wrong, c.hung);
  for (const auto& [reason, n] : c.failures) {
    std::printf("  failed cleanly, %s: %d\n", reason.c_str(), n);
  }
  return c.wrong == 0 && c.hung == 0 ? 0 : 1;
}
