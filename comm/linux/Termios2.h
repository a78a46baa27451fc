// Line settings through the kernel's termios2 interface (TCSETS2/TCGETS2),
// which takes any bit rate. The kernel header it needs clashes with glibc's
// <termios.h>, so it is used in Termios2.cpp alone; this header is plain.
#pragma once

#include <cstdint>

namespace QuarlComm32 {

struct TLineSettings {
  uint32_t BaudRate = 19200;  // input and output rate
  int DataBits = 8;           // 5..8
  char Parity = 'N';          // N, O, E, M (mark), S (space)
  bool ParityCheck = false;   // check received parity (INPCK)
  bool ExtraStopBit = false;  // CSTOPB: 2 stop bits, or 1.5 with 5 data bits
  bool RtsCts = false;        // CRTSCTS
  bool XonXoffOut = false;    // IXON: honour XON/XOFF from the other side
  bool XonXoffIn = false;     // IXOFF: send XON/XOFF when our buffer fills
  uint8_t XonChar = 0x11;
  uint8_t XoffChar = 0x13;
  bool Raw = true;            // read back: no line editing, echo or translation
  uint32_t InputRate = 19200; // read back: the input rate
};

// Puts the device into raw mode (CLOCAL, CREAD, VMIN 0, VTIME 0) with the
// settings, the rate given as BOTHER. Returns 0 or the errno of the failure
// (EINVAL for settings outside the ranges above).
int ApplyLineSettings(int fd, const TLineSettings& s);

// Reads the device's settings back. Returns 0 or an errno.
int ReadLineSettings(int fd, TLineSettings& s);

}  // namespace QuarlComm32
