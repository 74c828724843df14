// The simulated set-top box: plays the box's side of an upgrade run on an open line (a
// pseudo-terminal master or a serial device) and checks every byte the tool sends against what the
// protocol asks of it. wickbox is a thin program around it; the tests drive it directly.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

namespace wick::sim {

struct BoxOptions {
  // The start-of-transfer code to send instead of the one the announced code implies (0x1004 gives
  // 0x1005, 0x1006 gives 0x1007, 0x1040 gives 0x1041, 0x1042 gives 0x1043). Any value goes out as
  // it is; for a code the tool does not know, the box expects blocks as for 0x1043.
  std::optional<uint16_t> transferCode{};
  // This many noise bytes (never 0xFD) go out before each header the box sends, in the same write.
  int noiseBytes = 0;
  // Before block request k (0-based; every request that brings a block counts, the start of
  // transfer being request 0), one header whose end mark is wrong (8D C5) goes out. The tool
  // ignores it and the ten headers after it, so the box then repeats its real request every 500 ms
  // until a byte of the answer arrives.
  int badHeaderAtBlock = -1;
  // Before block request k (counted as for badHeaderAtBlock), floodBytes of garbage go out, any
  // byte value included; the real request is then repeated as after a bad header.
  int floodAtBlock = -1;
  int floodBytes = 100 * 1024;
  // After every N-th accepted block (blank ones included), ask for it again (0x1021 arg 0x00C0) and
  // check that the same block comes back.
  int resendEvery = 0;
  // Corrupt the first copy of every N-th data block received, so that its CRC fails and the box
  // asks for it again.
  int corruptEvery = 0;
  // Close the line once this many blocks have been accepted (0: before the first block request).
  int vanishAfterBlocks = -1;
  // Close the line in the middle of the data of the block after this many accepted blocks.
  int vanishMidBlock = -1;
  // Read and check the announcement, then never send a byte; the run ends when the tool hangs up,
  // on stop, or after answerTimeoutMs, and counts as ok when the announcement was.
  bool silent = false;
  // How long the box waits for each answer of the tool: for its first byte, and for each further
  // byte while the answer is still incomplete. 0 or less: no limit.
  int answerTimeoutMs = 10000;
  // How long the box waits for the announcement: -1 as long as answerTimeoutMs, 0 without a limit
  // (only stop and a hang-up end the wait).
  int announcementTimeoutMs = -1;
  // One line per step checked (the -v output of wickbox), called on the thread that runs RunBox;
  // may be empty.
  std::function<void(const std::string&)> log{};
};

struct BoxResult {
  bool ok = false;      // everything matched
  std::string failure;  // what did not, in words
  uint16_t announcedCode = 0;
  int32_t announcedSize = 0;
  uint16_t transferCode = 0;
  // What the box received: the prepared image from offset 0 (blocks before the first block's
  // offset stay 0xFF), trimmed to the announced size.
  std::vector<uint8_t> image;
  uint32_t expectedCrc = 0;  // the box's own CRC-32 over the region its transfer code selects
  uint32_t receivedCrc = 0;  // the CRC-32 the tool sent in its reply to 0x1023
  int blocks = 0;            // blocks accepted, blank ones included, each counted once
  int blanks = 0;            // of these, the blank ones (header with arg 1, no data)
  int resendsAsked = 0;      // requests 0x1021 with arg 0x00C0 sent
};

// Plays the box on an open file descriptor (a pty master or a serial device), until the run ends or
// fails. Puts the descriptor into non-blocking mode; it stays the caller's. When vanishAfterBlocks
// closes the line, the descriptor is left pointing at /dev/null, so that closing it later is
// still safe. A BoxPty's master releases the pty's kept slave descriptor once the tool's first byte
// has arrived, so that the tool closing its side shows as a hang-up.
BoxResult RunBox(int fd, const BoxOptions& options, std::stop_token stop = {});

// A pseudo-terminal pair for the box: the master for the box, the slave path for the tool. Keeps a
// slave descriptor open itself so that the master does not report a hang-up before the tool opens
// the slave; RunBox lets go of it once the tool has spoken. Vanish() closes both.
class BoxPty {
 public:
  BoxPty();
  ~BoxPty();
  BoxPty(const BoxPty&) = delete;
  BoxPty& operator=(const BoxPty&) = delete;

  int master() const { return master_; }
  const std::string& slavePath() const { return slave_path_; }
  // Closes the master and the kept slave: the tool's side hangs up. Not while RunBox uses master().
  void Vanish();
  bool ok() const { return master_ >= 0 && error_.empty(); }
  // Why the pair could not be made, when !ok().
  const std::string& error() const { return error_; }

 private:
  int master_ = -1;
  std::string slave_path_;
  std::string error_;
};

}  // namespace wick::sim
