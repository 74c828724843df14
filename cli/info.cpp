#include "cli/info.h"

#include <cstdio>

#include "cli/flash.h"
#include "cli/image_plan.h"
#include "cli/kinds.h"
#include "platform/port_list.h"
#include "protocol/image_prep.h"

namespace wick::cli {

int RunInfo(const std::string& image, int32_t mode) {
  std::vector<uint8_t> file;
  std::string error;
  if (!ReadImage(image, file, error)) {
    std::fprintf(stderr, "cannot use the image %s\n", error.c_str());
    return kExitImage;
  }
  std::printf("file:     %s\n", image.c_str());
  std::printf("size:     %zu bytes\n", file.size());
  std::vector<const Kind*> guessed = KindsForFile(image);
  std::string guess;
  for (const Kind* k : guessed) {
    guess += (guess.empty() ? "" : " or ") + std::string(k->name);
  }
  std::printf("kind:     %s\n", guess.empty() ? "unknown (no .tav, .exx or .tvu extension)"
                                              : (guess + " (from the extension)").c_str());
  uint32_t stored = 0;
  uint32_t computed = 0;
  bool trailerKind = guessed.empty() || guessed.front()->transferCode == 0x1005 ||
                     guessed.front()->transferCode == 0x1007;
  if (mode != 0) {
    trailerKind = HasHeadAndTrailer(KindOfMode(mode).transferCode);
  }
  bool trailerOk = true;
  if (trailerKind) {
    if (!ReadTrailer(file.data(), static_cast<int64_t>(file.size()), stored, computed)) {
      std::printf("trailer:  none (shorter than 4 bytes)\n");
      trailerOk = false;
    } else if (stored == computed) {
      std::printf("trailer:  ok, CRC-32 0x%08x\n", stored);
    } else {
      std::printf("trailer:  MISMATCH, stored 0x%08x, computed 0x%08x\n", stored, computed);
      trailerOk = false;
    }
  }
  int result = kExitOk;
  for (const Kind& k : AllKinds()) {
    if (mode != 0 && k.mode != mode) {
      continue;
    }
    TransferPlan plan = PlanTransfer(k.transferCode, file);
    if (!plan.ok) {
      std::printf("%-10s 0x%04x: cannot be sent: %s\n", k.name, k.transferCode,
                  plan.reason.c_str());
      if (mode != 0) {
        result = kExitImage;
      }
      continue;
    }
    std::printf(
        "%-10s 0x%04x: prepared %lld bytes, %d blocks from offset 0x%x, %d blank, final CRC "
        "0x%08x, about %s at 115200 baud\n",
        k.name, k.transferCode, static_cast<long long>(plan.preparedSize), plan.blocks,
        plan.firstOffset, plan.blanks, plan.crc, FormatDuration(plan.seconds).c_str());
  }
  if (mode != 0 && trailerKind && !trailerOk) {
    result = kExitImage;
  }
  return result;
}

int RunPorts() {
  auto ports = platform::ListSerialPorts();
  if (ports.empty()) {
    std::fprintf(stderr,
                 "no serial devices found (USB adapters show as /dev/ttyUSB*, "
                 "/dev/ttyACM*; COM1 to COM9 name /dev/ttyS0 to /dev/ttyS8)\n");
    return kExitOk;
  }
  for (const auto& p : ports) {
    std::printf("%s%s%s\n", p.path.c_str(), p.byId.empty() ? "" : "  ", p.byId.c_str());
  }
  return kExitOk;
}

}  // namespace wick::cli
