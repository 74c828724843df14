// wickbench: the CRC and image-preparation benchmarks. The usual Google Benchmark flags apply
// (--benchmark_filter, --benchmark_repetitions, --benchmark_out=FILE.json); after the table it
// prints each CRC's speed in MB/s and the ratio of Crc32 to zlib.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

// The console table as usual, and the throughput of each benchmark kept for the summary.
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  explicit SummaryReporter(OutputOptions options) : ConsoleReporter(options) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      auto rate = run.counters.find("bytes_per_second");
      if (run.error_occurred || rate == run.counters.end()) {
        continue;
      }
      // With repetitions, the mean stands for the benchmark; single runs stand for themselves.
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "mean") {
        continue;
      }
      bytesPerSecond_[run.run_name.function_name] = rate->second.value;
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\n");
    for (const auto& [name, rate] : bytesPerSecond_) {
      std::printf("%-26s %9.1f MB/s\n", name.c_str(), rate / 1e6);
    }
    auto wick = bytesPerSecond_.find("BM_Crc32_Wick");
    auto zlib = bytesPerSecond_.find("BM_Crc32_Zlib");
    if (wick != bytesPerSecond_.end() && zlib != bytesPerSecond_.end() && zlib->second > 0) {
      std::printf("Crc32 / zlib crc32 speed: %.2f\n", wick->second / zlib->second);
    }
  }

 private:
  std::map<std::string, double> bytesPerSecond_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    return 1;
  }
  SummaryReporter reporter(isatty(STDOUT_FILENO) != 0 ? SummaryReporter::OO_ColorTabular
                                                      : SummaryReporter::OO_Tabular);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
