// The receive thread: moves bytes from the device into the port's receive buffer, aligns them on
// the sync byte 0xFD and hands them to the owner with a synchronous WM_DATAREADY, dropping one
// header's worth (12 bytes) after each hand-over.
#pragma once

#include <cstdint>
#include <stop_token>

namespace wick {

class CSockRS232C1;

inline constexpr uint8_t RX_SYNC_BYTE = 0xFD;
inline constexpr uint32_t N_BYTE_HEADER_SIZE = 12;

// Runs until stop is requested (or object is null) and then returns 1. It touches only the port's
// fields: m_hComm, m_dwInQueue, m_pRxBuf, m_nRxBufSize, m_nRxCount and m_pOwner.
unsigned RxThreadProc(std::stop_token stop, CSockRS232C1* object);

// Drops every held byte before the first 0xFD; returns the new count.
uint32_t AlignOnSync(uint8_t* buf, uint32_t count);

// Drops the first header's worth of held bytes; returns the new count.
uint32_t DropHeader(uint8_t* buf, uint32_t count);

}  // namespace wick
