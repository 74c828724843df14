// Preparing a 16 MiB image for a start of transfer: what the box waits for between its start
// request and the first block. 0x1005 checks the trailer's CRC, moves the payload over the head and
// takes the CRC again; 0x1043 takes the CRC of the raw file once.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "bench/bench_data.h"
#include "protocol/image_prep.h"
#include "protocol/packet_header.h"

namespace wick::bench {
namespace {

void PrepareSixteenMiB(benchmark::State& state, uint16_t code) {
  const std::vector<uint8_t> file =
      HasHeadAndTrailer(code) ? HeadAndTrailerImage(kSixteenMiB) : RandomBytes(kSixteenMiB);
  const auto size = static_cast<int64_t>(file.size());
  std::vector<uint8_t> buffer(static_cast<size_t>(ImageBufferSize(size)), ImageFill(code));
  PreparedImage prepared;
  std::string reason;
  for (auto _ : state) {
    // Preparation works in place: each round starts again from the file as read, untimed.
    state.PauseTiming();
    std::copy(file.begin(), file.end(), buffer.begin());
    state.ResumeTiming();
    if (!PrepareImageBuffer(code, buffer, size, prepared, reason)) {
      state.SkipWithError(reason.c_str());
      break;
    }
    benchmark::DoNotOptimize(prepared.crc);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size);
}

void BM_PrepareImage_0x1005(benchmark::State& state) {
  PrepareSixteenMiB(state, CODE_START_WHOLE);
}
void BM_PrepareImage_0x1043(benchmark::State& state) {
  PrepareSixteenMiB(state, CODE_START_CHANNEL);
}

BENCHMARK(BM_PrepareImage_0x1005)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PrepareImage_0x1043)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace wick::bench
