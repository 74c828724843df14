// The owner of a protocol client: the window (or a headless front end) whose fields the client
// reads and which takes WM_DATAREADY from the receive thread. Its fields are read and written on
// the protocol thread only.
#pragma once

#include <cstdint>
#include <string>

#include "serial/sock_rs232c1.h"

namespace wick {

// The kinds of upgrade, as the window's mode value.
enum UpgradeMode : int32_t {
  kModeFirmware = 1,
  kModeBootAndFirmware = 2,
  kModeModule = 3,
  kModeChannel = 4,
};

// What the engine did, for front ends that show progress and failures in words. Reported on the
// protocol thread, after the step it describes.
struct EngineEvent {
  enum Kind {
    kTransferStarted,  // an image was prepared for a start-of-transfer code
    kBlockSent,        // a data block went out (offset is the block's)
    kBlankSkipped,     // a blank block was announced instead of sent
    kTransferRefused,  // the image cannot be vouched for: no block of this transfer goes out
    kUpgradeDone,      // the final CRC was sent; the run has ended
  };
  Kind kind = kTransferStarted;
  uint16_t code = 0;        // the box's code that caused the step
  int32_t offset = 0;       // block offset in the prepared image
  int32_t imageSize = 0;    // size of the prepared image
  int32_t firstOffset = 0;  // where the transfer's first block lies
  uint32_t crc = 0;         // the block's CRC, or the final CRC
  bool resend = false;      // the block went once more at the box's request
  std::string reason = {};  // for kTransferRefused: why, in words
};

class ClientOwner : public PortOwner {
 public:
  virtual void OnEngineEvent(const EngineEvent& event) { (void)event; }

  int32_t m_nMode = kModeFirmware;
  char m_szPathName[520] = {};  // full path of the chosen image file
  char m_szFileName[520] = {};  // its bare name
  int32_t m_nFileSize = 0;
  // Resends of one chunk that the chunk flow's boot-loader handler allows; the window never sets
  // it, so it starts at a value that lets a box recover from a few bad chunks.
  int32_t m_nResendLimit = 3;
};

}  // namespace wick
