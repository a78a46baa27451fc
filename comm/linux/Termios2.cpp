// The only translation unit that includes <asm/termbits.h>.
#include "Termios2.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cmath>

namespace QuarlComm32 {

namespace {

// Data bits, parity and stop bits as c_cflag bits; false for what the line
// cannot take.
bool FrameBits(const DCB& dcb, tcflag_t& cflag) {
  static constexpr tcflag_t kSize[] = {CS5, CS6, CS7, CS8};
  static constexpr tcflag_t kParity[] = {
      0,                         // NOPARITY
      PARENB | PARODD,           // ODDPARITY
      PARENB,                    // EVENPARITY
      PARENB | PARODD | CMSPAR,  // MARKPARITY: the parity bit always 1
      PARENB | CMSPAR,           // SPACEPARITY: the parity bit always 0
  };
  if (dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > SPACEPARITY) return false;
  cflag |= kSize[dcb.ByteSize - 5] | kParity[dcb.Parity];
  switch (dcb.StopBits) {
    case ONESTOPBIT: return true;
    case ONE5STOPBITS: cflag |= CSTOPB; return dcb.ByteSize == 5;
    case TWOSTOPBITS: cflag |= CSTOPB; return dcb.ByteSize != 5;
    default: return false;
  }
}

}  // namespace

int TermiosFromDcb(const DCB& dcb, TTermios& t) {
  tcflag_t cflag = CREAD | CLOCAL | BOTHER | (BOTHER << IBSHIFT);
  if (dcb.BaudRate == 0 || !FrameBits(dcb, cflag)) return EINVAL;
  if (dcb.fOutxCtsFlow != 0 || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) cflag |= CRTSCTS;
  tcflag_t iflag = IGNBRK;
  if (dcb.fParity != 0 && dcb.Parity != NOPARITY) iflag |= INPCK;
  if (dcb.fOutX != 0) iflag |= IXON;
  if (dcb.fInX != 0) iflag |= IXOFF;
  t = TTermios{};
  t.CFlag = cflag;
  t.IFlag = iflag;
  t.Start = static_cast<uint8_t>(dcb.XonChar);
  t.Stop = static_cast<uint8_t>(dcb.XoffChar);
  t.ISpeed = dcb.BaudRate;
  t.OSpeed = dcb.BaudRate;
  return 0;
}

bool RateTaken(uint32_t wanted, uint32_t reported) {
  const double want = wanted;
  return std::abs(static_cast<double>(reported) - want) <= want * 0.02;
}

int ApplyTermios(int fd, const TTermios& t) {
  struct termios2 k {};
  if (::ioctl(fd, TCGETS2, &k) != 0) return errno;
  k.c_iflag = t.IFlag;
  k.c_oflag = t.OFlag;
  k.c_cflag = t.CFlag;
  k.c_lflag = t.LFlag;
  for (cc_t& c : k.c_cc) c = 0;
  k.c_cc[VSTART] = t.Start;
  k.c_cc[VSTOP] = t.Stop;
  k.c_cc[VMIN] = t.Min;
  k.c_cc[VTIME] = t.Time;
  k.c_ispeed = t.ISpeed;
  k.c_ospeed = t.OSpeed;
  if (::ioctl(fd, TCSETS2, &k) != 0) return errno;
  return 0;
}

int ReadLineSettings(int fd, TLineSettings& s) {
  struct termios2 t {};
  if (::ioctl(fd, TCGETS2, &t) != 0) return errno;
  s.BaudRate = t.c_ospeed;
  s.InputRate = t.c_ispeed;
  switch (t.c_cflag & CSIZE) {
    case CS5: s.DataBits = 5; break;
    case CS6: s.DataBits = 6; break;
    case CS7: s.DataBits = 7; break;
    default: s.DataBits = 8; break;
  }
  if ((t.c_cflag & PARENB) == 0) s.Parity = 'N';
  else if (t.c_cflag & CMSPAR) s.Parity = (t.c_cflag & PARODD) ? 'M' : 'S';
  else s.Parity = (t.c_cflag & PARODD) ? 'O' : 'E';
  s.ParityCheck = (t.c_iflag & INPCK) != 0;
  s.ExtraStopBit = (t.c_cflag & CSTOPB) != 0;
  s.RtsCts = (t.c_cflag & CRTSCTS) != 0;
  s.XonXoffOut = (t.c_iflag & IXON) != 0;
  s.XonXoffIn = (t.c_iflag & IXOFF) != 0;
  s.XonChar = t.c_cc[VSTART];
  s.XoffChar = t.c_cc[VSTOP];
  s.Raw = (t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)) == 0 && (t.c_oflag & OPOST) == 0 &&
          (t.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP)) == 0 && t.c_cc[VMIN] == 0 && t.c_cc[VTIME] == 0;
  return 0;
}

}  // namespace QuarlComm32
