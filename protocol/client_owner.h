// The owner of a protocol client: the window (or a headless front end) whose fields the client
// reads and which takes WM_DATAREADY from the receive thread. Its fields are read and written on
// the protocol thread only.
#pragma once

#include <cstdint>

#include "serial/sock_rs232c1.h"

namespace wick {

// The kinds of upgrade, as the window's mode value.
enum UpgradeMode : int32_t {
  kModeFirmware = 1,
  kModeBootAndFirmware = 2,
  kModeModule = 3,
  kModeChannel = 4,
};

class ClientOwner : public PortOwner {
 public:
  int32_t m_nMode = kModeFirmware;
  char m_szPathName[520] = {};  // full path of the chosen image file
  char m_szFileName[520] = {};  // its bare name
  int32_t m_nFileSize = 0;
  int32_t m_nResendLimit = 0;
};

}  // namespace wick
