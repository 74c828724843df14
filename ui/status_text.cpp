#include "ui/status_text.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "protocol/packet_header.h"

namespace wick::ui {

namespace {

std::string Hex32(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

// Block numbers count from the transfer's first block, as the operator sees the run.
int BlockNumber(const EngineEvent& e) {
  return (e.offset - e.firstOffset) / static_cast<int32_t>(BLOCK_SIZE) + 1;
}

int BlockCount(const EngineEvent& e) {
  return (e.imageSize - e.firstOffset) / static_cast<int32_t>(BLOCK_SIZE);
}

}  // namespace

const char* FileFilterForMode(int32_t mode) {
  switch (mode) {
    case kModeModule:
      return "user data File (*.exx)|*.exx|";
    case kModeChannel:
      return "user data File (*.tvu)|*.tvu|";
    default:
      return "upgrade File (*.tav)|*.tav|";
  }
}

std::string ChooserFilter(const char* filter) {
  std::string text(filter);
  size_t bar = text.find('|');
  if (bar == std::string::npos) {
    return text;
  }
  std::string description = text.substr(0, bar);
  size_t end = text.find('|', bar + 1);
  std::string pattern = text.substr(bar + 1, end == std::string::npos ? end : end - bar - 1);
  // A description that names its pattern already is shown as it stands.
  if (description.find("(" + pattern + ")") != std::string::npos) {
    return description;
  }
  return description + " (" + pattern + ")";
}

const char* ModeTitle(int32_t mode) {
  switch (mode) {
    case kModeFirmware:
      return "firmware";
    case kModeBootAndFirmware:
      return "boot loader and firmware";
    case kModeModule:
      return "module";
    case kModeChannel:
      return "channel data";
    default:
      return "unknown";
  }
}

std::string ConnectedText(const std::string& port, const std::string& device) {
  std::string where = port == device ? port : port + " (" + device + ")";
  return "Connected to " + where + ". Choose the kind of upgrade and press Load.";
}

std::string StillConnectedText(const std::string& openPort, const std::string& typed) {
  std::string text = "Still connected to " + openPort;
  if (typed != openPort) {
    text += "; " + (typed.empty() ? std::string("the empty field") : typed) +
            " is not used while it is open";
  }
  return text + ".";
}

std::string ConnectFailedText(const std::string& port, const std::string& device, int error) {
  if (port.empty()) {
    return "Cannot connect: type or choose a port first.";
  }
  std::string where = port == device ? port : port + " (" + device + ")";
  std::string text = "Cannot open " + where;
  if (error != 0) {
    text += std::string(": ") + std::strerror(error);
  }
  text += ".";
  switch (error) {
    case EACCES:
    case EPERM:
      text += " Add yourself to the dialout group (sudo adduser $USER dialout), then log in again.";
      break;
    case EBUSY:
      text += " The port is in use by another program; close it and press Connect again.";
      break;
    case ENOENT:
    case ENODEV:
    case ENXIO:
      text += " Check the port name and that the adapter is plugged in.";
      break;
    default:
      break;
  }
  return text;
}

std::string LineStateText(const std::string& port, int error) {
  if (error == 0) {
    return "The line to " + port + " is back.";
  }
  return "The line to " + port + " was lost: " + std::strerror(error) +
         ". Check the cable and the adapter.";
}

std::string StartSentText(int32_t mode, const std::string& fileName, int32_t size) {
  return std::string("Asked the box for a ") + ModeTitle(mode) + " upgrade with " + fileName +
         " (" + std::to_string(size) + " bytes). Waiting for the box...";
}

std::string NoStartText(const std::string& error) {
  return "No upgrade started: " + error + ".";
}

std::string EventText(const EngineEvent& e) {
  char code[8];
  std::snprintf(code, sizeof code, "0x%04X", e.code);
  switch (e.kind) {
    case EngineEvent::kTransferStarted:
      return std::string("The box is ready (") + code + "): " + std::to_string(BlockCount(e)) +
             " blocks to send.";
    case EngineEvent::kBlockSent:
      return "Block " + std::to_string(BlockNumber(e)) + " of " + std::to_string(BlockCount(e)) +
             (e.resend ? " sent again" : " sent") + " (CRC " + Hex32(e.crc) + ").";
    case EngineEvent::kBlankSkipped:
      return "Block " + std::to_string(BlockNumber(e)) + " of " + std::to_string(BlockCount(e)) +
             " is blank: skipped.";
    case EngineEvent::kTransferRefused:
      return std::string("Upgrade stopped (") + code + "): " + e.reason +
             ". Nothing more goes to the box.";
    case EngineEvent::kUpgradeDone:
      return "Upgrade done: the final CRC " + Hex32(e.crc) + " was sent to the box.";
  }
  return {};
}

std::string SilentBoxText(int seconds) {
  return "The box has sent nothing for " + std::to_string(seconds) +
         " s. Check the cable and that the box waits for an upgrade.";
}

}  // namespace wick::ui
