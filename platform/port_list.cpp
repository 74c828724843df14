#include "platform/port_list.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <system_error>

namespace wick::platform {

namespace fs = std::filesystem;

namespace {

bool IsSerialName(const std::string& name) {
  for (const char* prefix : {"ttyUSB", "ttyACM", "ttyS", "ttyAMA", "ttymxc", "ttyO", "rfcomm"}) {
    if (name.rfind(prefix, 0) == 0 && name.size() > std::char_traits<char>::length(prefix)) {
      return true;
    }
  }
  return false;
}

// A legacy 8250 port with nothing behind it has no driver link other than the 8250 platform
// device "serial8250"; a real one is bound to a device of its own (pnp, pci, ...).
bool HasRealDevice(const fs::path& sysEntry) {
  std::error_code ec;
  fs::path device = fs::canonical(sysEntry / "device", ec);
  if (ec) {
    return false;
  }
  return device.filename() != "serial8250";
}

}  // namespace

std::vector<SerialPortInfo> ListSerialPorts(const std::string& devRoot,
                                            const std::string& sysRoot) {
  std::map<std::string, std::string> byId;  // device path -> by-id name
  std::error_code ec;
  for (const auto& link : fs::directory_iterator(fs::path(devRoot) / "serial" / "by-id", ec)) {
    std::error_code e;
    fs::path target = fs::canonical(link.path(), e);
    if (!e) {
      byId[target.string()] = link.path().string();
    }
  }

  std::vector<SerialPortInfo> ports;
  for (const auto& entry : fs::directory_iterator(sysRoot, ec)) {
    std::string name = entry.path().filename().string();
    if (!IsSerialName(name) || !HasRealDevice(entry.path())) {
      continue;
    }
    fs::path dev = fs::path(devRoot) / name;
    std::error_code e;
    if (!fs::exists(dev, e)) {
      continue;
    }
    std::string path = dev.string();
    std::error_code ce;
    fs::path canonical = fs::canonical(dev, ce);
    auto it = byId.find(ce ? path : canonical.string());
    ports.push_back({path, it != byId.end() ? it->second : std::string()});
  }
  std::sort(ports.begin(), ports.end(),
            [](const SerialPortInfo& a, const SerialPortInfo& b) { return a.path < b.path; });
  return ports;
}

}  // namespace wick::platform
