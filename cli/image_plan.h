// What an image will cost on the line, worked out before anything is sent: the checks that make
// an image unusable, and the blocks, blank blocks and time of its transfer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace wick::cli {

// The protocol's own pacing per block at 115200 baud with a box that answers at once: 1,090 ms of
// pauses, the line time of the last piece and the receive thread's cycle for a data block; the
// header and one cycle for a blank one.
inline constexpr double DATA_BLOCK_SECONDS = 1.192;
inline constexpr double BLANK_BLOCK_SECONDS = 0.061;
// The announcement and the box's two questions before the first block.
inline constexpr double SETUP_SECONDS = 0.2;

struct TransferPlan {
  uint16_t code = 0;
  bool ok = false;
  std::string reason;        // why the image cannot be sent with this code
  int64_t preparedSize = 0;  // bytes of the prepared image, whole blocks
  int32_t firstOffset = 0;
  int blocks = 0;    // blocks the box asks for, from the first one on
  int blanks = 0;    // of these, the all-0xFF ones that go as a header alone
  uint32_t crc = 0;  // the final CRC the box will be told
  double seconds = 0;
};

// Reads the whole image. False with a message naming the file and the reason (missing,
// unreadable, 2 GiB or more).
bool ReadImage(const std::string& path, std::vector<uint8_t>& bytes, std::string& error);

TransferPlan PlanTransfer(uint16_t code, const std::vector<uint8_t>& file);

// "1:05", "0:07".
std::string FormatDuration(double seconds);

}  // namespace wick::cli
