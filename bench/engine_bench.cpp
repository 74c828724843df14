// wickbench-engine: the engine's own handling time per header of the box, on the fake device and
// the fake clock of the tests, so that no pause takes real time. What a real run spends in pauses
// shows as the fake_ms counter (fake-clock milliseconds per header); the time per iteration is the
// CPU work alone, including the fake device's bookkeeping of each write.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bench/bench_data.h"
#include "protocol/serial_client1.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_serial_device.h"

namespace wick::bench {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t kImageSize = size_t{1} << 20;  // 128 blocks

// The box's header as it arrives: words high byte first, end mark C5 8D.
Bytes BoxHeader(uint16_t code) {
  return {0xFD, 0x00, static_cast<uint8_t>(code >> 8), static_cast<uint8_t>(code), 0, 0, 0, 0, 0, 0,
          0xC5, 0x8D};
}

// An owner that hands nothing over (the benchmark calls OnReceive itself) and counts the blocks
// the engine reports, sent or announced as blank.
class CountingOwner : public ClientOwner {
 public:
  bool SendMessage(uint32_t, uintptr_t, CSockRS232C1*, std::stop_token) override { return false; }
  void OnEngineEvent(const EngineEvent& event) override {
    if (event.kind == EngineEvent::kBlockSent || event.kind == EngineEvent::kBlankSkipped) {
      ++blocks;
    }
  }
  int64_t blocks = 0;
};

// A client on the fake line with the run active, as the engine tests set it up.
class Station {
 public:
  Station() {
    client_.m_pOwner = &owner_;
    DCB dcb;
    dcb.BaudRate = 115200;
    ready_ = client_.InitPort(4096) == 1 && client_.OpenPort(dcb, "COM1") == 1;
    client_.m_bUpgrade = 1;
  }
  ~Station() {
    std::error_code ec;
    if (!dir_.empty()) {
      std::filesystem::remove_all(dir_, ec);
    }
  }

  bool ready() const { return ready_; }
  CSerialClient1& client() { return client_; }
  CountingOwner& owner() { return owner_; }
  uint64_t pauses() const { return clock_.TotalMs(); }

  // Writes the image to a file of its own and records it as the window does.
  bool ChooseImage(const Bytes& bytes) {
    std::string templ = (std::filesystem::temp_directory_path() / "wickbench-XXXXXX").string();
    if (mkdtemp(templ.data()) == nullptr) {
      return false;
    }
    dir_ = templ;
    std::string path = dir_ + "/image.tvu";
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) {
      return false;
    }
    bool whole = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    whole = std::fclose(f) == 0 && whole;
    std::snprintf(owner_.m_szPathName, sizeof owner_.m_szPathName, "%s", path.c_str());
    std::snprintf(owner_.m_szFileName, sizeof owner_.m_szFileName, "image.tvu");
    owner_.m_nFileSize = static_cast<int32_t>(bytes.size());
    return whole;
  }

  int Receive(const Bytes& bytes) {
    return client_.OnReceive(bytes.data(), static_cast<uint32_t>(bytes.size()));
  }

  // The writes the fake device took since the last call; what it kept of them is let go, so that
  // its records do not grow through a long run.
  int64_t TakeWriteCount() {
    std::lock_guard lock(line_->mu);
    auto count = static_cast<int64_t>(line_->writes.size());
    line_->writes.clear();
    line_->written.clear();
    line_->calls.clear();
    return count;
  }

 private:
  std::shared_ptr<test::FakeLine> line_ = std::make_shared<test::FakeLine>();
  test::FakeSerialDevices devices_{line_};
  test::FakeClock clock_;
  CountingOwner owner_;
  CSerialClient1 client_{devices_, clock_};
  std::string dir_;
  bool ready_ = false;
};

// Feeds header to the engine once per iteration and reports writes, fake-clock milliseconds and
// blocks per header. between runs after each header, inside the timing, so it must be cheap.
template <typename Between>
void FeedHeaders(benchmark::State& state, Station& station, const Bytes& header, Between between) {
  station.TakeWriteCount();
  const uint64_t pausedBefore = station.pauses();
  const int64_t blocksBefore = station.owner().blocks;
  int64_t writes = 0;
  int64_t sinceTake = 0;
  for (auto _ : state) {
    if (station.Receive(header) != 0) {
      state.SkipWithError("the engine refused the header");
      break;
    }
    between();
    // The fake device keeps a copy of every write; letting go of them now and then keeps its
    // memory flat, at a cost spread over many headers.
    if (++sinceTake == 1024) {
      writes += station.TakeWriteCount();
      sinceTake = 0;
    }
  }
  writes += station.TakeWriteCount();
  using benchmark::Counter;
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
  state.counters["writes"] = Counter(static_cast<double>(writes), Counter::kAvgIterations);
  state.counters["fake_ms"] =
      Counter(static_cast<double>(station.pauses() - pausedBefore), Counter::kAvgIterations);
  state.counters["blocks"] =
      Counter(static_cast<double>(station.owner().blocks - blocksBefore), Counter::kAvgIterations);
}

// 0x1001, answered with one 12-byte reply.
void BM_Engine_UpgradeQuery(benchmark::State& state) {
  Station station;
  if (!station.ready()) {
    state.SkipWithError("the fake port did not open");
    return;
  }
  FeedHeaders(state, station, BoxHeader(CODE_UPGRADE_QUERY), [] {});
}

// 0x1021 for a channel image (0x1043): one header that says the block is blank, or a header and
// the block in eight pieces. The transfer starts over at its first block before it would run past
// the image's end.
void BlockRequests(benchmark::State& state, const Bytes& image) {
  Station station;
  if (!station.ready() || !station.ChooseImage(image)) {
    state.SkipWithError("the fake port did not open or the image could not be written");
    return;
  }
  CSerialClient1& client = station.client();
  if (station.Receive(BoxHeader(CODE_START_CHANNEL)) != 0 ||
      client.m_nImageState != CSerialClient1::kImageReady) {
    state.SkipWithError("the image was not prepared");
    return;
  }
  FeedHeaders(state, station, BoxHeader(CODE_NEXT_BLOCK), [&client] {
    if (client.m_nOffset + static_cast<int32_t>(BLOCK_SIZE) > client.m_nImageSize) {
      client.m_nOffset = client.m_nTransferStart;
    }
  });
}

void BM_Engine_BlankBlockRequest(benchmark::State& state) {
  BlockRequests(state, Bytes(kImageSize, 0xFF));
}

void BM_Engine_DataBlockRequest(benchmark::State& state) {
  BlockRequests(state, RandomBytes(kImageSize));
}

BENCHMARK(BM_Engine_UpgradeQuery);
BENCHMARK(BM_Engine_BlankBlockRequest);
BENCHMARK(BM_Engine_DataBlockRequest);

}  // namespace
}  // namespace wick::bench

BENCHMARK_MAIN();
