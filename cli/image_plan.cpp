#include "cli/image_plan.h"

#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "protocol/image_prep.h"
#include "protocol/packet_header.h"
#include "protocol/serial_client1.h"

namespace wick::cli {

bool ReadImage(const std::string& path, std::vector<uint8_t>& bytes, std::string& error) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  if (S_ISDIR(st.st_mode)) {
    error = path + ": is a folder, not an image file";
    return false;
  }
  // Sizes travel as signed 32-bit numbers on the wire.
  if (st.st_size > INT32_MAX) {
    error =
        path + ": " + std::to_string(st.st_size) + " bytes; an image must be smaller than 2 GiB";
    return false;
  }
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  bytes.assign(static_cast<size_t>(st.st_size), 0);
  size_t got = bytes.empty() ? 0 : std::fread(bytes.data(), 1, bytes.size(), f);
  bool failed = std::ferror(f) != 0;
  std::fclose(f);
  if (failed || got != bytes.size()) {
    error = path + ": could not be read whole";
    return false;
  }
  return true;
}

TransferPlan PlanTransfer(uint16_t code, const std::vector<uint8_t>& file) {
  TransferPlan plan;
  plan.code = code;
  const auto size = static_cast<int64_t>(file.size());
  std::vector<uint8_t> buffer(file);
  buffer.resize(static_cast<size_t>(ImageBufferSize(size)), ImageFill(code));
  PreparedImage prepared;
  if (!PrepareImageBuffer(code, buffer, size, prepared, plan.reason)) {
    return plan;
  }
  plan.ok = true;
  plan.preparedSize = static_cast<int64_t>(buffer.size());
  plan.firstOffset = prepared.firstOffset;
  plan.crc = prepared.crc;
  for (size_t at = static_cast<size_t>(prepared.firstOffset); at + BLOCK_SIZE <= buffer.size();
       at += BLOCK_SIZE) {
    ++plan.blocks;
    if (CSerialClient1::IsBlankBlock(buffer.data() + at)) {
      ++plan.blanks;
    }
  }
  plan.seconds = SETUP_SECONDS + (plan.blocks - plan.blanks) * DATA_BLOCK_SECONDS +
                 plan.blanks * BLANK_BLOCK_SECONDS;
  return plan;
}

std::string FormatDuration(double seconds) {
  auto s = static_cast<long>(std::lround(std::max(0.0, seconds)));
  char text[32];
  if (s >= 3600) {
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  } else {
    std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
  }
  return text;
}

}  // namespace wick::cli
