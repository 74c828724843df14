// Crc32 against zlib's crc32 on the same 16 MiB: zlib is only the yardstick here, never linked
// into the product.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdint>
#include <vector>

#include "bench/bench_data.h"
#include "util/crc32.h"

namespace wick::bench {
namespace {

void BM_Crc32_Wick(benchmark::State& state) {
  const std::vector<uint8_t>& data = RandomBytes(kSixteenMiB);
  const auto count = static_cast<uint32_t>(data.size());
  for (auto _ : state) {
    benchmark::DoNotOptimize(Crc32(data.data(), count));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * count);
}

void BM_Crc32_Zlib(benchmark::State& state) {
  const std::vector<uint8_t>& data = RandomBytes(kSixteenMiB);
  const auto count = static_cast<uInt>(data.size());
  // Both must compute the same checksum, or the comparison means nothing.
  if (crc32(crc32(0L, Z_NULL, 0), data.data(), count) != Crc32(data.data(), count)) {
    state.SkipWithError("zlib's crc32 and Crc32 disagree");
    return;
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(crc32(crc32(0L, Z_NULL, 0), data.data(), count));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * count);
}

BENCHMARK(BM_Crc32_Wick)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Crc32_Zlib)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace wick::bench
