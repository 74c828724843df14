// Line settings, timeouts and status records of the serial-device layer. They keep the shape and
// the names of the Win32 communications records that the port class was written against, so the
// port code reads the same on every platform; only the fields that the system uses exist.
#pragma once

#include <cstdint>

namespace wick::platform {

// Parity values of DCB::Parity.
inline constexpr uint8_t NOPARITY = 0;
inline constexpr uint8_t ODDPARITY = 1;
inline constexpr uint8_t EVENPARITY = 2;
inline constexpr uint8_t MARKPARITY = 3;
inline constexpr uint8_t SPACEPARITY = 4;

// Stop-bit values of DCB::StopBits.
inline constexpr uint8_t ONESTOPBIT = 0;
inline constexpr uint8_t ONE5STOPBITS = 1;
inline constexpr uint8_t TWOSTOPBITS = 2;

// DCB::fRtsControl and DCB::fDtrControl.
inline constexpr uint32_t RTS_CONTROL_DISABLE = 0;
inline constexpr uint32_t RTS_CONTROL_ENABLE = 1;
inline constexpr uint32_t RTS_CONTROL_HANDSHAKE = 2;
inline constexpr uint32_t DTR_CONTROL_DISABLE = 0;
inline constexpr uint32_t DTR_CONTROL_ENABLE = 1;

// The one event of the port's event mask: bytes were received.
inline constexpr uint32_t EV_RXCHAR = 0x0001;

// Purge flags.
inline constexpr uint32_t PURGE_TXABORT = 0x0001;
inline constexpr uint32_t PURGE_RXABORT = 0x0002;
inline constexpr uint32_t PURGE_TXCLEAR = 0x0004;
inline constexpr uint32_t PURGE_RXCLEAR = 0x0008;

// Modem-line functions.
inline constexpr uint32_t SETRTS = 3;
inline constexpr uint32_t CLRRTS = 4;
inline constexpr uint32_t SETDTR = 5;
inline constexpr uint32_t CLRDTR = 6;

inline constexpr uint32_t MAXDWORD = 0xFFFFFFFF;

struct DCB {
  uint32_t BaudRate = 0;
  uint32_t fBinary = 1;
  uint32_t fParity = 0;  // parity checking of received bytes
  uint32_t fOutxCtsFlow = 0;
  uint32_t fOutxDsrFlow = 0;
  uint32_t fDtrControl = DTR_CONTROL_ENABLE;
  uint32_t fOutX = 0;  // XON/XOFF on output
  uint32_t fInX = 0;   // XON/XOFF on input
  uint32_t fRtsControl = RTS_CONTROL_DISABLE;
  uint16_t XonLim = 0;
  uint16_t XoffLim = 0;
  uint8_t ByteSize = 8;
  uint8_t Parity = NOPARITY;
  uint8_t StopBits = ONESTOPBIT;
};

struct COMMTIMEOUTS {
  uint32_t ReadIntervalTimeout = 0;
  uint32_t ReadTotalTimeoutMultiplier = 0;
  uint32_t ReadTotalTimeoutConstant = 0;
  uint32_t WriteTotalTimeoutMultiplier = 0;
  uint32_t WriteTotalTimeoutConstant = 0;
};

struct COMSTAT {
  uint32_t cbInQue = 0;   // bytes waiting in the input queue
  uint32_t cbOutQue = 0;  // bytes not yet sent
};

}  // namespace wick::platform
