// Image preparation for the four start-of-transfer codes and the block transfer with its pacing.
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <new>

#include "platform/debug_output.h"
#include "protocol/image_prep.h"
#include "protocol/serial_client1.h"
#include "util/crc32.h"
#include "util/format.h"

namespace wick {

namespace {

// The box's pacing: the data follows its header after 20 ms, and each 1024-byte piece but the
// first after 140 ms (on top of the 10 ms that every send waits).
constexpr uint32_t kDataDelayMs = 20;
constexpr uint32_t kPieceDelayMs = 140;

}  // namespace

void CSerialClient1::RefuseTransfer(uint16_t code, const std::string& reason) {
  m_nImageState = kImageRefused;
  Trace(1, StringPrintf("Recv: 0x%x - transfer refused: %s", code, reason.c_str()).c_str());
  Report({.kind = EngineEvent::kTransferRefused, .code = code, .reason = reason});
}

bool CSerialClient1::LoadImage(uint16_t code, int64_t size, int64_t bufferSize, uint8_t fill,
                               bool& opened) {
  ClientOwner* owner = Owner();
  const char* path = owner != nullptr ? owner->m_szPathName : "";
  opened = false;
  // The buffer is whole blocks: the last block of an image that does not end on a block boundary
  // is filled out (0xFF after the 0xFF tail of a head-and-trailer image, zeros after a raw one),
  // so that no block is ever read from outside the image.
  try {
    m_pImage.assign(static_cast<size_t>(bufferSize), 0);
  } catch (const std::bad_alloc&) {
    m_pImage.clear();
    RefuseTransfer(code, StringPrintf("no memory for an image of %" PRId64 " bytes", size));
    return false;
  }
  m_nImageSize = static_cast<int32_t>(bufferSize);
  CloseFile();
  // The full path: the file chooser does not change the current folder.
  m_pFile = std::fopen(path, "rb");
  if (m_pFile == nullptr) {
    RefuseTransfer(code, StringPrintf("cannot open the image %s: %s",
                                      *path != '\0' ? path : "(none)", std::strerror(errno)));
    return false;
  }
  opened = true;
  m_nReadLen =
      static_cast<uint32_t>(std::fread(m_pImage.data(), 1, static_cast<size_t>(size), m_pFile));
  // One more byte tells a file that grew since it was chosen.
  uint8_t extra = 0;
  bool longer = std::fread(&extra, 1, 1, m_pFile) == 1;
  CloseFile();
  std::fill(m_pImage.begin() + size, m_pImage.end(), fill);
  if (m_nReadLen != static_cast<uint64_t>(size) || longer) {
    RefuseTransfer(
        code, StringPrintf("the image %s changed since it was chosen (%s than %" PRId64 " bytes)",
                           path, longer ? "longer" : "shorter", size));
    return false;
  }
  return true;
}

int CSerialClient1::PrepareImage(uint16_t code) {
  ClientOwner* owner = Owner();
  const int64_t size = owner != nullptr ? owner->m_nFileSize : 0;
  m_nImageState = kNoImage;
  m_nTransferStart = 0;

  const int64_t bufferSize = ImageBufferSize(size);
  if (size < 0 || bufferSize > INT32_MAX) {
    m_pImage.clear();
    m_nImageSize = 0;
    RefuseTransfer(code, StringPrintf("an image of %" PRId64 " bytes cannot be sent", size));
    return 0;
  }
  bool opened = false;
  if (!LoadImage(code, size, bufferSize, ImageFill(code), opened)) {
    return opened ? 0 : -1;
  }
  m_nOffset = 0;

  PreparedImage prepared;
  std::string reason;
  if (!PrepareImageBuffer(code, m_pImage, size, prepared, reason)) {
    // After a trailer mismatch the image's CRC is the one computed over what was read.
    m_dwImageCrc = prepared.computedCrc;
    RefuseTransfer(code, reason);
    return 0;
  }
  m_nOffset = prepared.firstOffset;
  m_dwImageCrc = prepared.crc;
  m_nTransferStart = m_nOffset;
  m_nImageState = kImageReady;
  Report({.kind = EngineEvent::kTransferStarted,
          .code = code,
          .offset = m_nOffset,
          .imageSize = m_nImageSize,
          .firstOffset = m_nTransferStart,
          .crc = m_dwImageCrc});
  return 0;
}

void CSerialClient1::SendNextBlock(const PacketHeader& header) {
  if (m_nImageState != kImageReady) {
    Trace(1, StringPrintf("Recv: 0x%x - no block sent: %s", header.wCode,
                          m_nImageState == kImageRefused ? "the image of this transfer was refused"
                                                         : "no image was prepared")
                 .c_str());
    return;
  }
  const bool resend = header.wArg == ARG_RESEND;
  if (resend) {
    // Only a block of this transfer can go again; before the first one there is none, and the
    // step back would leave the image.
    if (m_nOffset - static_cast<int32_t>(BLOCK_SIZE) >= m_nTransferStart) {
      m_nOffset -= BLOCK_SIZE;
    } else {
      Trace(1, StringPrintf("Recv: 0x%x, 0x%x - no block sent before: the block at %d goes instead",
                            header.wCode, header.wArg, m_nOffset)
                   .c_str());
    }
  }
  if (m_nOffset < 0 || static_cast<int64_t>(m_nOffset) + BLOCK_SIZE > m_nImageSize) {
    Trace(1, StringPrintf(
                 "Recv: 0x%x - no block sent: offset %d is past the end of the image (%d bytes)",
                 header.wCode, m_nOffset, m_nImageSize)
                 .c_str());
    return;
  }
  const uint8_t* block = m_pImage.data() + m_nOffset;
  EngineEvent event{.kind = EngineEvent::kBlankSkipped,
                    .code = header.wCode,
                    .offset = m_nOffset,
                    .imageSize = m_nImageSize,
                    .firstOffset = m_nTransferStart,
                    .resend = resend};
  if (IsBlankBlock(block)) {
    SendReply(5, "NON_DATA", CODE_BLOCK, 1, 0, 0);
  } else {
    platform::DebugTrace("%08x, %d \n", static_cast<uint32_t>(m_nOffset), m_nOffset);
    uint32_t crc = Crc32(block, BLOCK_SIZE);
    char label[16];
    std::snprintf(label, sizeof label, "crc=%08x", crc);
    SendReply(5, label, CODE_BLOCK, 0, static_cast<uint16_t>(crc >> 16),
              static_cast<uint16_t>(crc & 0xFFFF));
    GetClock().Sleep(kDataDelayMs);
    WriteBlock(block);
    event.kind = EngineEvent::kBlockSent;
    event.crc = crc;
  }
  m_nOffset += BLOCK_SIZE;
  Report(event);
}

int CSerialClient1::WriteBlock(const uint8_t* data) {
  for (uint32_t i = 0; i < BLOCK_SIZE / PIECE_SIZE; ++i) {
    if (i != 0) {
      GetClock().Sleep(kPieceDelayMs);
    }
    // A failed send does not stop the block: the box asks again when its CRC fails.
    Send(data + PIECE_SIZE * i, PIECE_SIZE);
  }
  return 1;
}

int CSerialClient1::IsBlankBlock(const uint8_t* data) {
  for (uint32_t i = 0; i < BLOCK_SIZE; ++i) {
    if (data[i] != 0xFF) {
      return 0;
    }
  }
  return 1;
}

}  // namespace wick
