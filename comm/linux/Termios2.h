// Line settings through the kernel's termios2 interface (TCSETS2/TCGETS2),
// which takes any bit rate. The kernel header it needs clashes with glibc's
// <termios.h>, so it is used in Termios2.cpp alone; this header is plain.
#pragma once

#include <cstdint>

#include "Dcb.h"

namespace QuarlComm32 {

// The kernel's termios2 record as plain numbers (flag bits, the four control
// characters the line uses, the two rates). The line discipline is left as
// the device has it.
struct TTermios {
  uint32_t IFlag = 0;
  uint32_t OFlag = 0;
  uint32_t CFlag = 0;
  uint32_t LFlag = 0;
  uint8_t Start = 0;  // c_cc[VSTART]: XON
  uint8_t Stop = 0;   // c_cc[VSTOP]: XOFF
  uint8_t Min = 0;    // c_cc[VMIN]
  uint8_t Time = 0;   // c_cc[VTIME]
  uint32_t ISpeed = 0;
  uint32_t OSpeed = 0;
};

// The line settings of a DCB as the kernel takes them: raw mode (CLOCAL,
// CREAD, VMIN 0, VTIME 0, no line editing, echo or translation), the rate as
// BOTHER both ways, 5 to 8 data bits, parity none/odd/even/mark/space (mark
// and space through CMSPAR; INPCK when fParity asks for checking), CSTOPB for
// two stop bits or, with 5 data bits, for 1.5; CRTSCTS for CTS output flow or
// RTS handshake; IXON/IXOFF with XonChar/XoffChar. Pure. Returns 0, or EINVAL
// for a record the line cannot take: a rate of 0, a size outside 5..8, an
// unknown parity or stop bit code, 1.5 stop bits with more than 5 data bits
// or 2 with 5 (as on Windows).
int TermiosFromDcb(const DCB& dcb, TTermios& t);

// Whether the rate a device reports after it was set is the rate asked for,
// allowing the rounding a UART divisor brings (2 %). A driver may keep its old
// rate without failing, and running at the wrong speed is worse than not
// running.
bool RateTaken(uint32_t wanted, uint32_t reported);

// Sets the device's termios2 record (its line discipline kept). 0 or an errno.
int ApplyTermios(int fd, const TTermios& t);

// The device's settings as read back.
struct TLineSettings {
  uint32_t BaudRate = 19200;  // output rate
  int DataBits = 8;           // 5..8
  char Parity = 'N';          // N, O, E, M (mark), S (space)
  bool ParityCheck = false;   // received parity is checked (INPCK)
  bool ExtraStopBit = false;  // CSTOPB: 2 stop bits, or 1.5 with 5 data bits
  bool RtsCts = false;        // CRTSCTS
  bool XonXoffOut = false;    // IXON: honour XON/XOFF from the other side
  bool XonXoffIn = false;     // IXOFF: send XON/XOFF when our buffer fills
  uint8_t XonChar = 0x11;
  uint8_t XoffChar = 0x13;
  bool Raw = true;            // no line editing, echo or translation
  uint32_t InputRate = 19200; // the input rate
};

// Reads the device's settings back. Returns 0 or an errno.
int ReadLineSettings(int fd, TLineSettings& s);

}  // namespace QuarlComm32
