#include "protocol/upgrade_session.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/debug_output.h"

namespace wick {

UpgradeSession::UpgradeSession(TaskQueue& queue, platform::SerialDeviceProvider& devices,
                               platform::Clock& clock)
    : queue_(queue), client_(devices, clock) {
  client_.m_pOwner = this;
  client_.InitPort(4096);
}

UpgradeSession::~UpgradeSession() {
  // The receive thread may be waiting in a hand-over to this owner: close first, so that it is
  // gone before the owner is.
  client_.Close();
  client_.m_pOwner = nullptr;
}

bool UpgradeSession::Connect(const std::string& port) {
  DCB line;
  line.BaudRate = 115200;
  line.StopBits = platform::ONESTOPBIT;
  line.Parity = platform::NOPARITY;
  line.ByteSize = 8;
  client_.m_pOwner = this;
  if (lineLost_ && client_.IsOpen()) {
    client_.Close();
  }
  lineLost_ = false;
  return client_.Open(line, port.c_str()) == 1;
}

int SendStartRequest(CSerialClient1& client, int32_t mode, int32_t size) {
  switch (mode) {
    case kModeFirmware:
      return client.ReqUpgradeF(nullptr, size, -1);
    case kModeBootAndFirmware:
      return client.ReqUpgradeB(nullptr, size, -1);
    case kModeModule:
      return client.ReqUpgradeM(nullptr, size, -1);
    case kModeChannel:
      return client.ReqUpgradeC(nullptr, size, -1);
    default:
      return -1;
  }
}

bool UpgradeSession::StartUpgrade(const std::string& path, int32_t mode, std::string& error) {
  return ChooseImage(path, error) && ReadImageSize(error) && SendStart(mode, error);
}

bool UpgradeSession::ChooseImage(const std::string& path, std::string& error) {
  if (path.size() >= sizeof m_szPathName) {
    error = path + ": the path is too long";
    return false;
  }
  std::snprintf(m_szPathName, sizeof m_szPathName, "%s", path.c_str());
  std::string name = path.substr(path.find_last_of('/') + 1);
  std::snprintf(m_szFileName, sizeof m_szFileName, "%s", name.c_str());
  return true;
}

bool UpgradeSession::ReadImageSize(std::string& error) {
  struct stat st {};
  if (stat(m_szPathName, &st) != 0) {
    error = std::string(m_szPathName) + ": " + std::strerror(errno);
    return false;
  }
  if (st.st_size > INT32_MAX) {
    error = std::string(m_szPathName) + ": " + std::to_string(st.st_size) +
            " bytes, an image must be under 2 GiB";
    return false;
  }
  m_nFileSize = static_cast<int32_t>(st.st_size);
  return true;
}

bool UpgradeSession::SendStart(int32_t mode, std::string& error) {
  m_nMode = mode;
  FILE* probe = std::fopen(m_szPathName, "rb");
  if (probe == nullptr) {
    error = std::string(m_szPathName) + ": " + std::strerror(errno);
    return false;
  }
  client_.m_bUpgrade = 1;
  int sent = SendStartRequest(client_, mode, m_nFileSize);
  std::fclose(probe);
  if (sent < 0) {
    error = client_.IsOpen() ? "no start request for mode " + std::to_string(mode)
                             : "the port is not open";
    return false;
  }
  return true;
}

bool UpgradeSession::SendMessage(uint32_t message, uintptr_t, CSockRS232C1*, std::stop_token stop) {
  if (message != WM_DATAREADY) {
    return false;
  }
  return queue_.Send([this] { OnDataReady(); }, stop);
}

void UpgradeSession::OnDataReady() {
  uint8_t buffer[8192] = {};
  uint32_t count = client_.GetRxData(buffer);
  client_.OnReceive(buffer, count);
  if (onProgress) {
    onProgress(client_.m_nOffset);
  }
  platform::DebugTrace("******dwSize = %d\n", static_cast<int>(count));
}

void UpgradeSession::OnLineState(int error) {
  // Reported on the receive thread: handled on the protocol thread like everything else.
  queue_.Post([this, alive = std::weak_ptr<int>(alive_), error] {
    if (!alive.lock()) {
      return;
    }
    lineLost_ = error != 0;
    if (onLineState) {
      onLineState(error);
    }
  });
}

void UpgradeSession::OnEngineEvent(const EngineEvent& event) {
  if (onEvent) {
    onEvent(event);
  }
}

}  // namespace wick
