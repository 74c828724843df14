// The protocol client: one object that owns the serial port (its base), the receive thread, the
// image file being read, the assembly buffer of received headers and the state of the upgrade run.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <thread>
#include <vector>

#include "protocol/client_owner.h"
#include "protocol/packet_header.h"
#include "serial/sock_rs232c1.h"

namespace wick {

class CSerialClient1 : public CSockRS232C1 {
 public:
  using TraceSink = std::function<void(int level, const char* text)>;

  explicit CSerialClient1(platform::SerialDeviceProvider& devices = platform::SystemSerialDevices(),
                          platform::Clock& clock = platform::RealClock());
  ~CSerialClient1() override;

  void Reset();
  void CloseFile();
  // The one sink of every trace line. Levels: 0 port and link, 1 errors, 4 received headers, 5 sent
  // packets. Without a sink plugged in, lines go nowhere.
  void Trace(int level, const char* text);
  void SetTraceSink(TraceSink sink) { m_traceSink = std::move(sink); }

  // Opens the port and starts the receive thread. 1 when the port is open and the thread runs (also
  // when it was open already), 0 on failure.
  int Open(DCB settings, const char* name);
  // Stops the receive thread and closes the port. 1 when the port was closed, 0 when it was not
  // open or closing failed (the thread then serves the still open port again).
  int Close();
  // Writes the bytes and pauses 10 ms. 0 when the port is open, whether or not the write went
  // through; -1 when it is not open.
  int Send(const void* data, int32_t len);

  // The owner, when m_pOwner designates a client owner.
  ClientOwner* Owner() const;

  // --- Headers (header.cpp) ---------------------------------------------------------------------
  static void MakeHeader(uint16_t code, uint16_t arg, uint16_t data1, PacketHeader& header);
  // A header and a 2-byte tail (14 bytes). 0 when sent, the send's result otherwise.
  int SendCommand(int level, const char* name, uint16_t code, uint16_t arg, uint16_t data1,
                  uint16_t tail);
  // A header with all four words given (12 bytes). 0 when sent, the send's result otherwise.
  int SendReply(int level, const char* name, uint16_t code, uint16_t arg, uint16_t data1,
                uint16_t data2);
  // Decodes the box's header at the front of m_RecvBuf. 0 when fewer than 12 bytes are held
  // (state becomes 1), 1 otherwise; header stays zero when the end mark is wrong.
  int RecognizeHeader(int32_t& state, PacketHeader& header);

  // --- The upgrade engine (engine.cpp) ----------------------------------------------------------
  // Takes the bytes of one hand-over and answers the box's header. 0, or -1 for a packet code
  // error or an image file that cannot be opened.
  int OnReceive(const uint8_t* data, uint32_t len);

  // --- Image preparation and block transfer (transfer.cpp) --------------------------------------
  // Loads and prepares the image for a start-of-transfer code. 0 when prepared or refused (a
  // refused transfer sends no block), -1 when the image file cannot be opened.
  int PrepareImage(uint16_t code);
  void SendNextBlock(const PacketHeader& header);
  int WriteBlock(const uint8_t* data);
  static int IsBlankBlock(const uint8_t* data);

  // --- Start requests (requests.cpp) ------------------------------------------------------------
  // index -1: the announcement with the total count; any other index: one chunk of count bytes.
  // 0 when sent, -1 when the port is not open (or the chunk is larger than 1024 bytes).
  int ReqUpgradeF(const uint8_t* data, int32_t count, int32_t index);
  int ReqUpgradeB(const uint8_t* data, int32_t count, int32_t index);
  int ReqUpgradeM(const uint8_t* data, int32_t count, int32_t index);
  int ReqUpgradeC(const uint8_t* data, int32_t count, int32_t index);

  // --- Further requests and replies (catalogue.cpp) ---------------------------------------------
  void ReqRebooting();
  int ReqReadData(const uint8_t* data, int32_t count, int32_t index);
  int ReqWriteData(const uint8_t* data, int32_t count, int32_t index);
  int ReqIndexData(const uint8_t* data, int32_t count, int32_t index);
  void ReqPauseData();
  void ReqInitData();
  // Reply parsers: header with all six words, packet = its bytes from the header's first byte on,
  // len = how many of them there are.
  int ResReadData(const PacketHeader& header, const uint8_t* packet, size_t len);
  int ResWriteData(const PacketHeader& header, const uint8_t* packet, size_t len);
  int ResIndexData(const PacketHeader& header, const uint8_t* packet, size_t len);
  int ResPauseData(const PacketHeader& header, const uint8_t* packet, size_t len);
  int ResInitData(const PacketHeader& header, const uint8_t* packet, size_t len);
  int ResRebooting(const PacketHeader& header, const uint8_t* packet, size_t len);
  int ResConnection(const PacketHeader& header, const uint8_t* packet, size_t len);
  int ResUpgradeB(const PacketHeader& header, const uint8_t* packet, size_t len);
  int ResUpgradeF(const PacketHeader& header, const uint8_t* packet, size_t len);
  int ResUpgradeF2(const PacketHeader& header, const uint8_t* packet, size_t len);
  int ResUpgradeF3(const PacketHeader& header, const uint8_t* packet, size_t len);
  void ReportError(int level, uint32_t code);

  FILE* m_pFile = nullptr;
  int32_t m_nOffset = 0;
  uint8_t m_RecvBuf[40961];
  int32_t m_nRecvLen = 0;
  int32_t m_nErrCount = 0;
  int32_t m_bBusy = 0;
  uint32_t m_nThreadId = 0;
  std::jthread m_hThread;
  char m_szPortName[264];
  uint8_t m_ChunkBuf[1025];
  uint32_t m_nReadLen = 0;
  int32_t m_nChunkIndex = 0;
  int32_t m_nRetryCount = 0;
  int32_t m_bUpgrade = 0;

  // The engine's state. One engine per client (the system kept these process-wide).
  int32_t m_nHeaderState = 0;     // 0 seeking a header start, 1 a partial header held
  std::vector<uint8_t> m_pImage;  // the prepared image, padded to whole blocks
  uint32_t m_dwImageCrc = 0;      // CRC of the region the start code selects
  int32_t m_nImageSize = 0;       // bytes of m_pImage (a multiple of BLOCK_SIZE)
  int32_t m_nTransferStart = 0;   // offset of the transfer's first block
  enum ImageState { kNoImage, kImageReady, kImageRefused };
  ImageState m_nImageState = kNoImage;  // refused: no block of this transfer may go out

 private:
  // One start or data request in its announcement or chunk form (requests.cpp).
  int SendBodyRequest(uint16_t code, const char* tag, const uint8_t* data, int32_t count,
                      int32_t index);
  // The engine's events to the owner.
  void Report(const EngineEvent& event);
  // Refuses the transfer being prepared: traced at level 1 and reported, no block of it goes out.
  void RefuseTransfer(uint16_t code, const std::string& reason);
  // Reads the owner's image whole into m_pImage; false (and the transfer refused) when it cannot.
  bool LoadImage(uint16_t code, int64_t size, int64_t bufferSize, uint8_t fill, bool& opened);

  bool StartRxThread();
  void StopRxThread();

  TraceSink m_traceSink;
};

}  // namespace wick
