#include "cli/reporter.h"

#include <algorithm>

#include "cli/image_plan.h"
#include "protocol/packet_header.h"

namespace wick::cli {

Reporter::Reporter(ProgressStyle style, std::string port, int64_t fileSize, FILE* out, FILE* err)
    : style_(style), port_(std::move(port)), fileSize_(fileSize), out_(out), err_(err) {}

double Reporter::Elapsed() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void Reporter::ClearBar() {
  if (barShown_) {
    std::fputs("\r\x1b[K", err_);
    barShown_ = false;
  }
}

void Reporter::Message(const std::string& text) {
  ClearBar();
  std::fprintf(err_, "%s\n", text.c_str());
  std::fflush(err_);
  if (style_ == ProgressStyle::kBar && blocks_ > 0) {
    DrawBar();
  }
}

void Reporter::Event(const EngineEvent& e) {
  switch (e.kind) {
    case EngineEvent::kTransferStarted:
      firstOffset_ = e.firstOffset;
      offset_ = e.offset;
      blocks_ = static_cast<int>((e.imageSize - e.firstOffset) / static_cast<int32_t>(BLOCK_SIZE));
      blocksDone_ = 0;
      blanks_ = 0;
      if (style_ == ProgressStyle::kLines) {
        std::fprintf(out_, "start port=%s code=0x%04x size=%lld blocks=%d first=%d crc=0x%08x\n",
                     port_.c_str(), e.code, static_cast<long long>(fileSize_), blocks_,
                     e.firstOffset, e.crc);
      }
      break;
    case EngineEvent::kBlockSent:
    case EngineEvent::kBlankSkipped: {
      const bool blank = e.kind == EngineEvent::kBlankSkipped;
      const int n = (e.offset - firstOffset_) / static_cast<int32_t>(BLOCK_SIZE) + 1;
      offset_ = e.offset + static_cast<int32_t>(BLOCK_SIZE);
      if (e.resend) {
        ++resends_;
      } else {
        blocksDone_ = std::max(blocksDone_, n);
        blanks_ += blank ? 1 : 0;
      }
      if (!blank) {
        dataBytes_ += BLOCK_SIZE;
      }
      if (style_ == ProgressStyle::kLines) {
        std::fprintf(out_,
                     "block port=%s n=%d of=%d offset=%d type=%s resend=%d crc=0x%08x sent=%lld "
                     "size=%lld\n",
                     port_.c_str(), n, blocks_, e.offset, blank ? "blank" : "data",
                     e.resend ? 1 : 0, e.crc,
                     static_cast<long long>(std::min<int64_t>(offset_, fileSize_)),
                     static_cast<long long>(fileSize_));
      }
      break;
    }
    default:
      break;
  }
  if (style_ == ProgressStyle::kLines) {
    std::fflush(out_);
  } else if (style_ == ProgressStyle::kBar) {
    DrawBar();
  }
}

void Reporter::Tick() {
  if (style_ == ProgressStyle::kBar && blocks_ > 0 &&
      std::chrono::steady_clock::now() - lastDraw_ > std::chrono::milliseconds(500)) {
    DrawBar();
  }
}

void Reporter::DrawBar() {
  lastDraw_ = std::chrono::steady_clock::now();
  const int64_t sent = std::clamp<int64_t>(offset_, 0, fileSize_);
  const double fraction = fileSize_ > 0 ? static_cast<double>(sent) / fileSize_ : 1.0;
  constexpr int kWidth = 24;
  const int filled = static_cast<int>(fraction * kWidth + 0.5);
  std::string bar(static_cast<size_t>(filled), '#');
  bar.resize(kWidth, '.');
  const double elapsed = Elapsed();
  const double rate = elapsed > 0 ? dataBytes_ / 1024.0 / elapsed : 0;
  // What is left, at the protocol's own pacing: the blank share so far stands for the rest.
  const int left = std::max(0, blocks_ - blocksDone_);
  const double blankShare = blocksDone_ > 0 ? static_cast<double>(blanks_) / blocksDone_ : 0;
  const double eta =
      left * (blankShare * BLANK_BLOCK_SECONDS + (1 - blankShare) * DATA_BLOCK_SECONDS);
  std::fprintf(err_, "\r\x1b[K[%s] %3d%%  block %d/%d (%d blank)  %.1f KiB/s  %s left", bar.c_str(),
               static_cast<int>(fraction * 100), blocksDone_, blocks_, blanks_, rate,
               FormatDuration(eta).c_str());
  std::fflush(err_);
  barShown_ = true;
}

void Reporter::Done(uint32_t crc) {
  ClearBar();
  if (style_ == ProgressStyle::kLines) {
    std::fprintf(out_, "done port=%s crc=0x%08x blocks=%d blanks=%d resends=%d seconds=%.1f\n",
                 port_.c_str(), crc, blocksDone_, blanks_, resends_, Elapsed());
    std::fflush(out_);
  }
  std::fprintf(err_, "%s: done, %d blocks (%d blank) in %s, final CRC 0x%08x\n", port_.c_str(),
               blocksDone_, blanks_, FormatDuration(Elapsed()).c_str(), crc);
  std::fflush(err_);
}

void Reporter::Failed(int exitCode, const std::string& reason) {
  ClearBar();
  if (style_ == ProgressStyle::kLines) {
    std::string quoted = reason;
    std::replace(quoted.begin(), quoted.end(), '"', '\'');
    std::fprintf(out_, "fail port=%s exit=%d block=%d of=%d reason=\"%s\"\n", port_.c_str(),
                 exitCode, blocksDone_, blocks_, quoted.c_str());
    std::fflush(out_);
  }
  std::fprintf(err_, "%s\n", reason.c_str());
  std::fflush(err_);
}

}  // namespace wick::cli
