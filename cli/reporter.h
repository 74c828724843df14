// How a flash run tells what happens: a bar on a terminal, one parseable line per block for other
// programs, or nothing; messages always go to stderr, machine-readable lines to stdout.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

#include "protocol/client_owner.h"

namespace wick::cli {

enum class ProgressStyle { kBar, kLines, kNone };

class Reporter {
 public:
  Reporter(ProgressStyle style, std::string port, int64_t fileSize, FILE* out = stdout,
           FILE* err = stderr);

  // A message line on stderr; the bar, if any, is drawn again below it.
  void Message(const std::string& text);
  void Event(const EngineEvent& event);
  // Redraws the bar now and then, so that its time goes on between blocks.
  void Tick();
  void Done(uint32_t crc);
  void Failed(int exitCode, const std::string& reason);

  int blocksDone() const { return blocksDone_; }
  int blocks() const { return blocks_; }
  int blanks() const { return blanks_; }
  int32_t offset() const { return offset_; }

 private:
  void DrawBar();
  void ClearBar();
  double Elapsed() const;

  ProgressStyle style_;
  std::string port_;
  int64_t fileSize_;
  FILE* out_;
  FILE* err_;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point lastDraw_{};
  bool barShown_ = false;
  int blocks_ = 0;      // in the transfer
  int blocksDone_ = 0;  // distinct blocks that went out
  int blanks_ = 0;      // blank blocks skipped so far
  int resends_ = 0;
  int32_t firstOffset_ = 0;
  int32_t offset_ = 0;
  int64_t dataBytes_ = 0;
};

}  // namespace wick::cli
